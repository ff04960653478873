#pragma once

#include "ApeFormat.h"
#include "NNFilter.h"
#include "WideFrame.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace ape {

// Decodes whole frames to PCM. Frames are independent, so one decoder per
// thread can work on any frames of a file in any order.
class FrameDecoder
{
public:
    explicit FrameDecoder(const StreamInfo &info, DotAdaptFn kernel = kernels::best());

    // `bytes` are the frame's bytes as stored, from FrameSpan::wordStart to
    // FrameSpan::end; they are used up (put into stream order in place, so a
    // long frame is not held twice). Writes blocks * channels samples of
    // interleaved PCM in the delivered format and returns true only when the
    // frame's CRC matches.
    bool decode(std::vector<uint8_t> &bytes, int skip, uint32_t blocks, uint8_t *pcm);

    // 24-bit files say nothing about the width their predictor wrapped at;
    // decoders of one file share what the last frame showed.
    void shareWidthHint(std::atomic<int> *hint) { widthHint_ = hint; }

private:
    bool entropy(bool stereo, uint32_t blocks);
    void filter(int32_t *data, int channel, uint32_t blocks);
    bool finish(uint32_t blocks, uint8_t *pcm, uint32_t crc);
    bool crcMatches(const uint8_t *pcm, uint32_t blocks, uint32_t crc) const;

    StreamInfo info_;
    std::vector<int32_t> ch_[2];
    std::vector<int32_t> saved_[2];
    std::vector<std::unique_ptr<NNFilter>> filters_[2];
    class RangeDecoder *rc_ = nullptr;
    FusedStereoFn fused_ = nullptr;
    // 32-bit samples and more than two channels go their own way.
    std::unique_ptr<WideFrame> wide_;
    std::atomic<int> ownHint_{32};
    std::atomic<int> *widthHint_ = &ownHint_;
};

} // namespace ape
