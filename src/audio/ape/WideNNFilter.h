#pragma once

#include "NNFilter.h"

#include <cstdint>
#include <vector>

namespace ape {

// The adaptive filter stage of 32-bit files: 32-bit coefficients, each
// product wrapped to 32 bits and the products summed in 64, over 64-bit
// residuals. The history is still clipped to 16 bits.
class WideNNFilter
{
public:
    // `kernel` picks the instruction set, as for the narrow filter.
    WideNNFilter(int order, int fractionBits, DotAdaptFn kernel = kernels::best());

    void reset();
    void apply(int64_t *data, int count);

    struct State
    {
        int order = 0;
        int shift = 0;
        int32_t *coeffs = nullptr;
        // Windows of `order` values sliding through longer buffers, as in
        // the narrow filter.
        int32_t *delay = nullptr;
        int32_t *adapt = nullptr;
        int pos = 0;
        int64_t average = 0;
    };
    using ApplyFn = void (*)(State &state, int64_t *data, int count);

private:
    State s_;
    ApplyFn loop_;
    std::vector<int32_t> storage_;
};

namespace kernels {
// The wide filter's loop in the instruction set of the narrow `kernel`.
WideNNFilter::ApplyFn wideLoopFor(DotAdaptFn kernel);
} // namespace kernels

} // namespace ape
