#pragma once

#include "Decoder.h"

#include <cstdint>

namespace audio {

// 96 dB over full scale: beyond any real recording, and summed over 32
// channels and a resampler's filter still far from overflowing a float.
constexpr float kFloatSampleBound = 65536.0f;

// Converts `count` samples of a decoder's PCM (packed as `format` says) to
// floats with full scale at 1, for the resampler.
void samplesToFloat(const uint8_t *pcm, int64_t count, const PcmFormat &format, float *out);

} // namespace audio
