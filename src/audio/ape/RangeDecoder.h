#pragma once

#include <cstdint>

namespace ape {

// The arithmetic decoder of the entropy stage, reading the frame's bytes in
// stream order. Running out of bytes is counted (and zeros are fed), so the
// caller can stop at its next check instead of on every symbol.
class RangeDecoder
{
public:
    void start(const uint8_t *p, const uint8_t *end)
    {
        p_ = p;
        end_ = end;
        overrun_ = 0;
        buffer_ = next();
        low_ = buffer_ >> 1;
        range_ = 1u << 7;
    }

    // Bytes fed past the end. Valid frames may read a little beyond their
    // last word; their CRC still has to match.
    int overrun() const { return overrun_; }

    // A value of `shift` bits with uniform probability; update() must follow.
    uint32_t peekShift(int shift)
    {
        normalize();
        help_ = range_ >> shift;
        return low_ / help_;
    }
    // A value below `total` with uniform probability; update() must follow.
    uint32_t peekFrequency(uint32_t total)
    {
        normalize();
        help_ = range_ / total;
        return low_ / help_;
    }
    void update(uint32_t size, uint32_t start)
    {
        low_ -= help_ * start;
        range_ = help_ * size;
    }
    uint32_t bits(int n)
    {
        const uint32_t v = peekShift(n);
        update(1, v);
        return v;
    }

private:
    uint32_t next()
    {
        if (p_ < end_)
            return *p_++;
        ++overrun_;
        return 0;
    }
    void normalize()
    {
        while (range_ <= (1u << 23)) {
            buffer_ = (buffer_ << 8) | next();
            low_ = (low_ << 8) | ((buffer_ >> 1) & 0xff);
            range_ <<= 8;
        }
    }

    const uint8_t *p_ = nullptr;
    const uint8_t *end_ = nullptr;
    uint32_t low_ = 0;
    uint32_t range_ = 0;
    uint32_t help_ = 1;
    uint32_t buffer_ = 0;
    int overrun_ = 0;
};

// Adaptive Rice-like parameter of one channel's residuals.
struct RiceState
{
    uint32_t k = 10;
    uint32_t ksum = 16u << 10;
};

// Decodes one residual as written by version 3990 encoders. Sets `bad` on a
// symbol no valid stream contains.
int32_t decodeResidual(RangeDecoder &rc, RiceState &rice, bool &bad);

} // namespace ape
