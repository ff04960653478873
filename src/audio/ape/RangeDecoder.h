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
    [[gnu::always_inline]] uint32_t peekShift(int shift)
    {
        normalize();
        help_ = range_ >> shift;
        return low_ / help_;
    }
    // A value below `total` with uniform probability; update() must follow.
    [[gnu::always_inline]] uint32_t peekFrequency(uint32_t total)
    {
        normalize();
        help_ = range_ / total;
        return low_ / help_;
    }
    [[gnu::always_inline]] void update(uint32_t size, uint32_t start)
    {
        low_ -= help_ * start;
        range_ = help_ * size;
    }
    [[gnu::always_inline]] uint32_t bits(int n)
    {
        const uint32_t v = peekShift(n);
        update(1, v);
        return v;
    }

private:
    [[gnu::always_inline]] uint32_t next()
    {
        if (p_ < end_)
            return *p_++;
        ++overrun_;
        return 0;
    }
    [[gnu::always_inline]] void normalize()
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

// Residuals decoded between checks for running out of data.
constexpr uint32_t kResidualChunk = 4096;
// Bytes a frame may read past its end and still be good (its CRC decides).
constexpr int kOverrunAllowance = 8;

namespace detail {

// Cumulative frequencies of the overflow symbol (scaled to 16 bits).
inline constexpr uint16_t kCumulative[22] = {0,     19578, 36160, 48417, 56323, 60899, 63265, 64435,
                                             64971, 65232, 65351, 65416, 65447, 65466, 65476, 65482,
                                             65485, 65488, 65490, 65491, 65492, 65493};

// Beyond the table every value has frequency 1; the top one escapes to 32 bits.
inline constexpr uint32_t kEscape = 63;

[[gnu::always_inline]] inline uint32_t overflowSymbol(RangeDecoder &rc, bool &bad)
{
    const uint32_t cf = rc.peekShift(16);
    if (cf >= kCumulative[21]) {
        if (cf > 65535)
            bad = true;
        rc.update(1, cf);
        return cf - 65535 + kEscape;
    }
    // Counted without branches: which symbol it is is as good as random, and
    // a mispredicted search costs more than comparing against the whole table.
    uint32_t s = 0;
    for (int j = 1; j < 21; ++j)
        s += kCumulative[j] <= cf;
    rc.update(kCumulative[s + 1] - kCumulative[s], kCumulative[s]);
    return s;
}

// The value's remainder below the pivot.
[[gnu::always_inline]] inline uint32_t base(RangeDecoder &rc, uint32_t pivot)
{
    if (pivot < 0x10000) {
        const uint32_t base = rc.peekFrequency(pivot);
        rc.update(1, base);
        return base;
    }
    // Too wide for one step: the high part first, then the low bits.
    int shift = 0;
    uint32_t hi = pivot;
    while (hi & ~0xffffu) {
        hi >>= 1;
        ++shift;
    }
    const uint32_t top = rc.peekFrequency(hi + 1);
    rc.update(1, top);
    const uint32_t low = rc.peekFrequency(1u << shift);
    rc.update(1, low);
    return (top << shift) + low;
}

[[gnu::always_inline]] inline uint32_t overflow(RangeDecoder &rc, bool &bad)
{
    const uint32_t symbol = overflowSymbol(rc, bad);
    if (symbol != kEscape)
        return symbol;
    const uint32_t high = rc.bits(16) << 16;
    return high | rc.bits(16);
}

} // namespace detail

// Decodes one residual as written by version 3990 encoders. Sets `bad` on a
// symbol no valid stream contains. Inline: it is the innermost loop.
[[gnu::always_inline]] inline int32_t decodeResidual(RangeDecoder &rc, RiceState &rice, bool &bad)
{
    uint32_t pivot = rice.ksum >> 5;
    if (pivot == 0)
        pivot = 1;

    const uint32_t overflow = detail::overflow(rc, bad);

    const uint32_t base = detail::base(rc, pivot);
    const uint32_t x = base + overflow * pivot;

    const uint32_t lower = rice.k ? 1u << (rice.k + 4) : 0;
    rice.ksum += ((x + 1) / 2) - ((rice.ksum + 16) >> 5);
    if (rice.ksum < lower)
        --rice.k;
    else if (rice.ksum >= (1u << (rice.k + 5)) && rice.k < 24)
        ++rice.k;

    // Odd codes are positive, even codes zero or negative.
    return int32_t(((x >> 1) ^ ((x & 1) - 1)) + 1);
}

// The same for 32-bit samples, whose values need more than 32 bits.
[[gnu::always_inline]] inline int64_t decodeWideResidual(RangeDecoder &rc, RiceState &rice,
                                                         bool &bad)
{
    uint32_t pivot = rice.ksum >> 5;
    if (pivot == 0)
        pivot = 1;
    uint32_t overflow = detail::overflowSymbol(rc, bad);
    if (overflow == detail::kEscape) {
        overflow = rc.bits(16) << 16;
        overflow |= rc.bits(16);
        // An escaped 1, which the model codes directly, announces a value
        // whose quotient by the pivot would not fit in 32 bits: the quotient
        // follows again, against a small fixed pivot.
        if (overflow == 1) {
            pivot = 32768;
            overflow = detail::overflow(rc, bad);
        }
    }
    const uint64_t x = detail::base(rc, pivot) + uint64_t(overflow) * pivot;

    // The sum wraps at 32 bits, as the encoder's does.
    rice.ksum += uint32_t((x + 1) / 2) - ((rice.ksum + 16) >> 5);

    // Odd codes are positive, even codes zero or negative.
    const int64_t half = int64_t(x >> 1);
    return (x & 1) ? half + 1 : -half;
}

} // namespace ape
