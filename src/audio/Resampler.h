#pragma once

#include "Decoder.h"

#include <memory>
#include <vector>

struct SwrContext;

namespace audio {

// Converts interleaved float samples from a source's rate and channels to
// the device's, mixing channels down (or up) on the way.
class Resampler
{
public:
    Resampler() = default;
    // Empty (false) when libswresample refuses the conversion.
    Resampler(const PcmFormat &source, int outRate, int outChannels);

    explicit operator bool() const { return swr_ != nullptr; }

    // Converts `frames` source frames from `in`; `out` holds what came out,
    // and the output frames are returned. The filter keeps a few frames back.
    int convert(const float *in, int frames, std::vector<float> &out);
    // At the end of the source: the frames the filter still holds.
    int drain(std::vector<float> &out);

private:
    struct SwrFree
    {
        void operator()(SwrContext *swr) const;
    };

    std::unique_ptr<SwrContext, SwrFree> swr_;
    int outChannels_ = 0;
};

} // namespace audio
