#pragma once

#include "Decoder.h"

#include <cstdint>
#include <memory>

namespace audio {

// A stretch [first, end) of another decoder's sample frames, seen as a file
// of its own: frame 0 is `first`, the length is end - first, and reading
// stops after end - 1. An album image's track plays and decodes through one,
// so every position the window sees is the track's own.
class RangeDecoder final : public Decoder
{
public:
    // Null when the range is not inside the file or holds no frame, or when
    // the decoder cannot seek to its first frame.
    static std::unique_ptr<Decoder> wrap(std::unique_ptr<Decoder> inner, int64_t first,
                                         int64_t end);

    const PcmFormat &format() const override { return inner_->format(); }
    int64_t totalFrames() const override { return end_ - first_; }
    int64_t read(uint8_t *out, int64_t maxFrames) override;
    bool seek(int64_t frame) override;
    int64_t damagedFrames() const override;

private:
    RangeDecoder(std::unique_ptr<Decoder> inner, int64_t first, int64_t end);

    std::unique_ptr<Decoder> inner_;
    const int64_t first_;
    const int64_t end_;
    int64_t position_ = 0; // within the range
};

} // namespace audio
