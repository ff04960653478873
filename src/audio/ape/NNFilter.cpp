#include "NNFilter.h"

#include <algorithm>
#include <cstring>

namespace ape {

namespace {
// Spare values for aligning the coefficients to 64 bytes.
constexpr size_t kAlign = 32;
#include "NNFilterLoop.inc"
} // namespace

namespace kernels {

int32_t portable(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction)
{
    uint32_t sum = 0;
    for (int i = 0; i < order; ++i) {
        sum += uint32_t(int32_t(coeffs[i]) * delay[i]);
        coeffs[i] = int16_t(coeffs[i] + direction * adapt[i]);
    }
    return int32_t(sum);
}

DotAdaptFn best()
{
    static const DotAdaptFn chosen = [] {
        if (DotAdaptFn f = avx512())
            return f;
        if (DotAdaptFn f = avx2())
            return f;
        if (DotAdaptFn f = sse2())
            return f;
        return &portable;
    }();
    return chosen;
}

} // namespace kernels

NNFilter::NNFilter(int order, int fractionBits, DotAdaptFn kernel)
    : kernel_(kernel), loop_(kernels::loopFor(kernel)),
      storage_(size_t(order) + 2 * size_t(kSlide + order) + kAlign)
{
    s_.order = order;
    s_.shift = fractionBits;
    // Coefficients on a cache line of their own start, so their vector loads
    // and stores never straddle two lines.
    const auto address = reinterpret_cast<uintptr_t>(storage_.data());
    s_.coeffs = storage_.data() + ((64 - address % 64) % 64) / sizeof(int16_t);
    s_.delay = s_.coeffs + order;
    s_.adapt = s_.delay + kSlide + order;
    reset();
}

void NNFilter::reset()
{
    std::fill(storage_.begin(), storage_.end(), int16_t(0));
    s_.pos = s_.order;
    s_.average = 0;
}

void NNFilter::apply(int32_t *data, int count)
{
    if (loop_) {
        loop_(s_, data, count);
        return;
    }
    const DotAdaptFn kernel = kernel_;
    filterLoop(s_, data, count,
               [kernel](int16_t *c, const int16_t *d, const int16_t *a, int order, int direction) {
                   return kernel(c, d, a, order, direction);
               });
}

} // namespace ape
