#pragma once

#include "ApeFormat.h"
#include "NNFilter.h"
#include "WideNNFilter.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ape {

class RangeDecoder;

// Frames of 32-bit samples and of more than two channels, decoded a chunk
// of blocks at a time: every channel's residuals, then each channel's
// filters and prediction, then the pairs of channels coded as mid and side.
// A frame of 32 channels is long; the chunks keep the working set small.
class WideFrame
{
public:
    WideFrame(const StreamInfo &info, DotAdaptFn kernel);

    // Decodes the frame after its CRC and flags word, the range decoder
    // started, into `blocks` interleaved blocks of PCM words as the CRC covers
    // them. False when the data is damaged; the CRC is the caller's.
    bool decode(RangeDecoder &rc, uint32_t flags, uint32_t blocks, uint8_t *pcm);

private:
    template <typename Traits>
    bool run(RangeDecoder &rc, int coded, bool stereo, uint32_t blocks, uint8_t *pcm);
    void pair(uint32_t count);
    bool inRange(int count) const;
    void write(int count, uint8_t *pcm) const;

    StreamInfo info_;
    // Per channel, a chunk's residuals and its output.
    std::vector<int64_t> wideResiduals_;
    std::vector<int32_t> residuals_;
    std::vector<int32_t> out_;
    std::vector<std::vector<std::unique_ptr<NNFilter>>> filters_;
    std::vector<std::vector<std::unique_ptr<WideNNFilter>>> wideFilters_;
    // Channels coded as (mid, side) pairs.
    std::vector<std::pair<int, int>> pairs_;
    bool checkRange_ = false;
};

} // namespace ape
