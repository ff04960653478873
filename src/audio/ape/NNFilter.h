#pragma once

#include <cstdint>
#include <vector>

namespace ape {

// The inner loop of the adaptive filters: returns the dot product of
// coeffs and delay (wrapping 32-bit), and moves each coefficient by
// adapt[i] in the direction of `direction` (-1, 0 or 1).
using DotAdaptFn = int32_t (*)(int16_t *coeffs, const int16_t *delay, const int16_t *adapt,
                               int order, int direction);

namespace kernels {
int32_t portable(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction);
// Null when the processor or the build lacks the instructions.
DotAdaptFn sse2();
DotAdaptFn avx2();
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

private:
    int order_;
    int shift_;
    DotAdaptFn kernel_;
    int16_t *coeffs_;
    // Recent outputs (clipped to 16 bits) and their adaption steps, each a
    // window of `order_` values sliding through a longer buffer.
    std::vector<int16_t> storage_;
    int16_t *delay_;
    int16_t *adapt_;
    int pos_ = 0;
    uint32_t average_ = 0;
};

} // namespace ape
