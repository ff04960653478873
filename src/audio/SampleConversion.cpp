#include "SampleConversion.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace audio {

namespace {

float sampleToFloat(const uint8_t *p, const PcmFormat &format)
{
    switch (format.bitsPerSample) {
    case 8:
        return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 16:
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))) / 32768.0f;
    case 24: {
        const uint32_t u = (static_cast<uint32_t>(p[0]) << 8) |
                           (static_cast<uint32_t>(p[1]) << 16) |
                           (static_cast<uint32_t>(p[2]) << 24);
        return static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
    }
    default: {
        const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16) |
                           (static_cast<uint32_t>(p[3]) << 24);
        if (!format.isFloat)
            return static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
        // Float sources keep their range, beyond full scale too, up to a
        // bound that keeps the resampler's and the mixer's sums finite:
        // infinities stop there. A NaN, which no device can play and the
        // resampler's filter would spread over its neighbours, is silence.
        const float v = std::bit_cast<float>(u);
        if (std::isnan(v))
            return 0.0f;
        return std::clamp(v, -kFloatSampleBound, kFloatSampleBound);
    }
    }
}

} // namespace

void samplesToFloat(const uint8_t *pcm, int64_t count, const PcmFormat &format, float *out)
{
    for (int64_t i = 0; i < count; ++i)
        out[i] = sampleToFloat(pcm + i * format.bytesPerSample(), format);
}

} // namespace audio
