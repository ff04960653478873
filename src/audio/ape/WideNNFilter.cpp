#include "WideNNFilter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include "TargetRegion.h"
#endif

namespace ape {

namespace {

constexpr int kSlide = NNFilter::kSlide;
// Spare values for aligning the coefficients to 64 bytes.
constexpr size_t kAlign = 16;

namespace portableset {

template <int Order> struct Dot
{
    int order;
    int64_t operator()(int32_t *coeffs, const int32_t *delay, const int32_t *adapt,
                       int direction) const
    {
        int64_t sum = 0;
        for (int i = 0; i < (Order ? Order : order); ++i) {
            sum += int32_t(uint32_t(coeffs[i]) * uint32_t(delay[i]));
            coeffs[i] = int32_t(uint32_t(coeffs[i]) + uint32_t(direction * adapt[i]));
        }
        return sum;
    }
};

#include "WideNNFilterLoop.inc"

} // namespace portableset

#if defined(__x86_64__) || defined(__i386__)

// The products are wrapped to 32 bits in each lane; their sum needs more.
// Each lane sums the products' high 16 bits (arithmetic shift) and the
// products themselves, wrapping: the sum of their low 16 bits is the
// difference of the two, exact because at these orders (1280 / 8 products
// a lane at most) it stays below 2^31.
TARGET_BEGIN("avx2")
namespace avx2set {

template <int Order> struct Dot
{
    int order; // the same as Order when that is not 0
    __attribute__((always_inline)) int64_t operator()(int32_t *coeffs, const int32_t *delay,
                                                      const int32_t *adapt, int direction) const
    {
        const int n = Order ? Order : order;
        const __m256i dir = _mm256_set1_epi32(direction);
        __m256i hi = _mm256_setzero_si256();
        __m256i lo = _mm256_setzero_si256();
        for (int i = 0; i < n; i += 8) {
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coeffs + i));
            const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(delay + i));
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(adapt + i));
            const __m256i p = _mm256_mullo_epi32(c, d);
            hi = _mm256_add_epi32(hi, _mm256_srai_epi32(p, 16));
            lo = _mm256_add_epi32(lo, p);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(coeffs + i),
                                _mm256_add_epi32(c, _mm256_sign_epi32(a, dir)));
        }
        lo = _mm256_sub_epi32(lo, _mm256_slli_epi32(hi, 16));
        const __m256i both = _mm256_hadd_epi32(hi, lo); // hi0+hi1, .., lo0+lo1, .. per half
        __m128i x = _mm_add_epi32(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
        x = _mm_hadd_epi32(x, x); // hi, lo, hi, lo
        return int64_t(_mm_cvtsi128_si32(x)) * 65536 + _mm_extract_epi32(x, 1);
    }
};

#include "WideNNFilterLoop.inc"

} // namespace avx2set
TARGET_END

AVX512_TARGET_BEGIN
namespace avx512set {

template <int Order> struct Dot
{
    int order;
    __attribute__((always_inline)) int64_t operator()(int32_t *coeffs, const int32_t *delay,
                                                      const int32_t *adapt, int direction) const
    {
        const int n = Order ? Order : order;
        __m512i hi = _mm512_setzero_si512();
        __m512i lo = _mm512_setzero_si512();
        auto run = [&](auto update) {
            for (int i = 0; i < n; i += 16) {
                const __m512i c = _mm512_loadu_si512(coeffs + i);
                const __m512i p = _mm512_mullo_epi32(c, _mm512_loadu_si512(delay + i));
                hi = _mm512_add_epi32(hi, _mm512_srai_epi32(p, 16));
                lo = _mm512_add_epi32(lo, p);
                update(c, i);
            }
        };
        if (direction > 0)
            run([&](__m512i c, int i) {
                _mm512_storeu_si512(coeffs + i, _mm512_add_epi32(c, _mm512_loadu_si512(adapt + i)));
            });
        else if (direction < 0)
            run([&](__m512i c, int i) {
                _mm512_storeu_si512(coeffs + i, _mm512_sub_epi32(c, _mm512_loadu_si512(adapt + i)));
            });
        else
            run([](__m512i, int) {});
        lo = _mm512_sub_epi32(lo, _mm512_slli_epi32(hi, 16));
        return int64_t(_mm512_reduce_add_epi32(hi)) * 65536 + _mm512_reduce_add_epi32(lo);
    }
};

#include "WideNNFilterLoop.inc"

} // namespace avx512set
AVX512_TARGET_END

#endif

} // namespace

namespace kernels {

WideNNFilter::ApplyFn wideLoopFor(DotAdaptFn kernel)
{
#if defined(__x86_64__) || defined(__i386__)
    if (kernel && kernel == avx512())
        return &avx512set::apply;
    if (kernel && kernel == avx2())
        return &avx2set::apply;
#endif
    return &portableset::apply;
}

} // namespace kernels

WideNNFilter::WideNNFilter(int order, int fractionBits, DotAdaptFn kernel)
    : loop_(kernels::wideLoopFor(kernel)),
      storage_(size_t(order) + 2 * size_t(kSlide + order) + kAlign)
{
    s_.order = order;
    s_.shift = fractionBits;
    const auto address = reinterpret_cast<uintptr_t>(storage_.data());
    s_.coeffs = storage_.data() + ((64 - address % 64) % 64) / sizeof(int32_t);
    s_.delay = s_.coeffs + order;
    s_.adapt = s_.delay + kSlide + order;
    reset();
}

void WideNNFilter::reset()
{
    std::fill(storage_.begin(), storage_.end(), 0);
    s_.pos = s_.order;
    s_.average = 0;
}

void WideNNFilter::apply(int64_t *data, int count)
{
    loop_(s_, data, count);
}

} // namespace ape
