#pragma once

#include <cstdint>
#include <vector>

namespace ape {

class RangeDecoder;

// The inner loop of the adaptive filters: returns the dot product of
// coeffs and delay (wrapping 32-bit), and moves each coefficient by
// adapt[i] in the direction of `direction` (-1, 0 or 1).
using DotAdaptFn = int32_t (*)(int16_t *coeffs, const int16_t *delay, const int16_t *adapt,
                               int order, int direction);

class NNFilter;

// The filter stages of each level (1000 to 5000), undone from the shortest up.
struct FilterStage
{
    int order;
    int fractionBits;
};
inline constexpr FilterStage kLevelStages[5][3] = {
    {{0, 0}, {0, 0}, {0, 0}},      {{16, 11}, {0, 0}, {0, 0}},        {{64, 11}, {0, 0}, {0, 0}},
    {{32, 10}, {256, 13}, {0, 0}}, {{16, 11}, {256, 13}, {1280, 15}},
};

namespace kernels {
int32_t portable(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction);
// Null when the processor or the build lacks the instructions.
DotAdaptFn sse2();
DotAdaptFn avx2();
DotAdaptFn avx512();
// The fastest this processor runs.
DotAdaptFn best();
} // namespace kernels

// One sign-sign adaptive FIR stage of the reconstruction (orders 16 to 1280,
// a multiple of 16), undone in place over a channel's residuals.
class NNFilter
{
public:
    NNFilter(int order, int fractionBits, DotAdaptFn kernel = kernels::best());

    void reset();
    void apply(int32_t *data, int count);

    // How far the windows slide before they are moved back to the start.
    static constexpr int kSlide = 512;

    struct State
    {
        int order = 0;
        int shift = 0;
        int16_t *coeffs = nullptr;
        // Recent outputs (clipped to 16 bits) and their adaption steps, each
        // a window of `order` values sliding through a longer buffer.
        int16_t *delay = nullptr;
        int16_t *adapt = nullptr;
        int pos = 0;
        uint32_t average = 0;
    };
    // A whole pass with a vector kernel inlined into the loop.
    using ApplyFn = void (*)(State &state, int32_t *data, int count);

    State &state() { return s_; }

private:
    State s_;
    DotAdaptFn kernel_;
    ApplyFn loop_;
    std::vector<int16_t> storage_;
};

// Decodes a stereo frame's residuals and undoes its filters (stages, in
// order, per channel) and prediction in one pass, writing the frame's
// interleaved PCM of `bits` (8 or 16) to pcm. Returns 1, 0 when the data is
// damaged, or -1 for a stage layout it does not know.
using FusedStereoFn = int (*)(RangeDecoder &rc, NNFilter::State *const *fy,
                              NNFilter::State *const *fx, int stages, int bits, uint8_t *pcm,
                              uint32_t blocks);

namespace kernels {
// The loop built around `kernel`, or null when it has none of its own.
NNFilter::ApplyFn loopFor(DotAdaptFn kernel);
// The whole-frame pass built around `kernel`, or null.
FusedStereoFn fusedFor(DotAdaptFn kernel);
} // namespace kernels

} // namespace ape
