#include "NNFilter.h"

#include <algorithm>
#include <cstring>

namespace ape {

namespace {

// How far the windows slide before they are moved back to the start.
constexpr int kSlide = 512;

inline int negSign(int64_t v)
{
    return (v < 0) - (v > 0);
}

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
    : order_(order), shift_(fractionBits), kernel_(kernel),
      storage_(size_t(order) + 2 * size_t(kSlide + order))
{
    coeffs_ = storage_.data();
    delay_ = coeffs_ + order_;
    adapt_ = delay_ + kSlide + order_;
    reset();
}

void NNFilter::reset()
{
    std::fill(storage_.begin(), storage_.end(), int16_t(0));
    pos_ = order_;
    average_ = 0;
}

void NNFilter::apply(int32_t *data, int count)
{
    const int64_t round = int64_t(1) << (shift_ - 1);
    for (int n = 0; n < count; ++n) {
        const int32_t input = data[n];
        const int32_t dot = kernel_(coeffs_, delay_ + pos_ - order_, adapt_ + pos_ - order_, order_,
                                    negSign(input));
        const int32_t out =
            int32_t(uint32_t(int32_t((int64_t(dot) + round) >> shift_)) + uint32_t(input));
        data[n] = out;

        delay_[pos_] = int16_t(std::clamp(out, -32768, 32767));

        // The step grows when the output is large against its running average.
        int16_t *a = adapt_ + pos_;
        const uint32_t magnitude = out < 0 ? 0u - uint32_t(out) : uint32_t(out);
        if (magnitude == 0) {
            *a = 0;
        } else {
            const int grow = (int64_t(magnitude) > int64_t(average_) * 3) +
                             (magnitude > average_ + average_ / 3);
            *a = int16_t(negSign(out) * (8 << grow));
        }
        average_ += uint32_t(int32_t(magnitude - average_) / 16);
        a[-1] >>= 1;
        a[-2] >>= 1;
        a[-8] >>= 1;

        if (++pos_ == kSlide + order_) {
            std::memmove(delay_, delay_ + kSlide, sizeof(int16_t) * size_t(order_));
            std::memmove(adapt_, adapt_ + kSlide, sizeof(int16_t) * size_t(order_));
            pos_ = order_;
        }
    }
}

} // namespace ape
