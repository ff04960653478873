#include "RangeDecoder.h"

#include <algorithm>

namespace audio {

RangeDecoder::RangeDecoder(std::unique_ptr<Decoder> inner, int64_t first, int64_t end)
    : inner_(std::move(inner)), first_(first), end_(end)
{
}

std::unique_ptr<Decoder> RangeDecoder::wrap(std::unique_ptr<Decoder> inner, int64_t first,
                                            int64_t end)
{
    if (!inner || first < 0 || end <= first || end > inner->totalFrames())
        return nullptr;
    // The decoders seek to the sample, so a track that begins inside an APE
    // frame starts on its own first sample, not on the frame's.
    if (!inner->seek(first))
        return nullptr;
    return std::unique_ptr<Decoder>(new RangeDecoder(std::move(inner), first, end));
}

int64_t RangeDecoder::read(uint8_t *out, int64_t maxFrames)
{
    const int64_t want = std::min(maxFrames, totalFrames() - position_);
    if (want <= 0)
        return 0;
    const int64_t n = inner_->read(out, want);
    if (n > 0)
        position_ += n;
    return n;
}

bool RangeDecoder::seek(int64_t frame)
{
    if (frame < 0 || frame > totalFrames() || !inner_->seek(first_ + frame))
        return false;
    position_ = frame;
    return true;
}

int64_t RangeDecoder::damagedFrames() const
{
    // Damage that reaches past the range ends at its end: the next track's
    // frames are not this stream's to skip.
    return std::min(inner_->damagedFrames(), totalFrames() - position_);
}

} // namespace audio
