// Vector kernels, each compiled for its own instruction set and chosen at run
// time, so the library runs on any x86-64. Each comes with a copy of the
// filter loop compiled for the same set, so the kernel is inlined there.
#include "NNFilter.h"
#include "PcmOut.h"
#include "Predictor.h"
#include "RangeDecoder.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include "TargetRegion.h"

namespace ape::kernels {

namespace {

TARGET_BEGIN("sse2")
namespace sse2set {

// Multiplying by -1, 0 or 1 is a sign mask applied to the steps.
__attribute__((always_inline)) inline int32_t
dotAdaptBody(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order, int direction)
{
    const __m128i dir = _mm_set1_epi16(int16_t(direction));
    __m128i sum = _mm_setzero_si128();
    for (int i = 0; i < order; i += 8) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coeffs + i));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(delay + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(adapt + i));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(c, d));
        c = _mm_add_epi16(c, _mm_mullo_epi16(a, dir));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(coeffs + i), c);
    }
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(sum);
}

// This set keeps one loop for every order; only the wider sets build one per order.
constexpr bool kUnrollOrders = false;
#include "NNFilterKernel.inc"

} // namespace sse2set
TARGET_END

TARGET_BEGIN("avx2")
namespace avx2set {

__attribute__((always_inline)) inline int32_t
dotAdaptBody(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order, int direction)
{
    __m256i sum = _mm256_setzero_si256();
    auto step = [&](int i, auto update) {
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coeffs + i));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(delay + i));
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(c, d));
        update(c, i);
    };
    const auto none = [](__m256i, int) {};
    const auto add = [&](__m256i c, int i) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(adapt + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(coeffs + i), _mm256_add_epi16(c, a));
    };
    const auto sub = [&](__m256i c, int i) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(adapt + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(coeffs + i), _mm256_sub_epi16(c, a));
    };
    // Orders are multiples of 16: one vector each step.
    if (direction == 0)
        for (int i = 0; i < order; i += 16)
            step(i, none);
    else if (direction > 0)
        for (int i = 0; i < order; i += 16)
            step(i, add);
    else
        for (int i = 0; i < order; i += 16)
            step(i, sub);
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(s);
}

constexpr bool kUnrollOrders = true;
#include "NNFilterKernel.inc"

using Stage = NNFilter::State;
inline Stage stageFrom(const NNFilter::State &s)
{
    return s;
}
inline NNFilter::State stageBack(const Stage &s)
{
    return s;
}
template <int Order> __attribute__((always_inline)) inline int32_t stageStep(Stage &s, int32_t v)
{
    return filterStep(s, v, FixedDot<Order>{});
}

#include "FusedFrame.inc"

} // namespace avx2set
TARGET_END

AVX512_TARGET_BEGIN
namespace avx512set {

__attribute__((always_inline)) inline int32_t
dotAdaptBody(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order, int direction)
{
    __m512i sum = _mm512_setzero_si512();
    // 32 values a step; an order that is an odd multiple of 16 ends with a
    // half step under a mask.
    const int whole = order & ~31;
    const __mmask32 half = 0xFFFF;
    auto run = [&](auto update) {
        for (int i = 0; i < whole; i += 32) {
            const __m512i c = _mm512_loadu_si512(coeffs + i);
            const __m512i d = _mm512_loadu_si512(delay + i);
            sum = _mm512_add_epi32(sum, _mm512_madd_epi16(c, d));
            update(c, i, __mmask32(0xFFFFFFFF));
        }
        if (whole < order) {
            const __m512i c = _mm512_maskz_loadu_epi16(half, coeffs + whole);
            const __m512i d = _mm512_maskz_loadu_epi16(half, delay + whole);
            sum = _mm512_add_epi32(sum, _mm512_madd_epi16(c, d));
            update(c, whole, half);
        }
    };
    if (direction == 0) {
        run([](__m512i, int, __mmask32) {});
    } else if (direction > 0) {
        run([&](__m512i c, int i, __mmask32 m) {
            const __m512i a = _mm512_maskz_loadu_epi16(m, adapt + i);
            _mm512_mask_storeu_epi16(coeffs + i, m, _mm512_add_epi16(c, a));
        });
    } else {
        run([&](__m512i c, int i, __mmask32 m) {
            const __m512i a = _mm512_maskz_loadu_epi16(m, adapt + i);
            _mm512_mask_storeu_epi16(coeffs + i, m, _mm512_sub_epi16(c, a));
        });
    }
    const __m256i high = _mm512_castsi512_si256(_mm512_shuffle_i64x2(sum, sum, 0xEE));
    const __m256i y = _mm256_add_epi32(_mm512_castsi512_si256(sum), high);
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(x);
}

constexpr bool kUnrollOrders = true;
#include "NNFilterKernel.inc"

// In the whole-frame pass a filter keeps its newest 16 delay values and
// steps in registers: each sample stores one value of each, and a vector
// load of a window holding a value stored the sample before waits for that
// store to complete, once per sample on the filter's critical path.
// Memory keeps every value too, and is read only where it is older.
struct Stage
{
    NNFilter::State s;
    __m256i delay; // delay[pos - 16 .. pos - 1]
    __m256i adapt; // adapt[pos - 16 .. pos - 1]
};

inline Stage stageFrom(const NNFilter::State &s)
{
    Stage st;
    st.s = s;
    st.delay = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s.delay + s.pos - 16));
    st.adapt = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s.adapt + s.pos - 16));
    return st;
}

inline NNFilter::State stageBack(const Stage &st)
{
    return st.s;
}

// Filters up to this order keep their newest values in registers.
constexpr int kHeadOrders = 16;

// The register windows move on by one value, `v` coming in as the newest.
__attribute__((always_inline)) inline __m256i shiftIn(__m256i window, int16_t v)
{
    const __m256i incoming = _mm256_castsi128_si256(_mm_cvtsi32_si128(uint16_t(v)));
    const __m256i upper = _mm256_permute2x128_si256(window, incoming, 0x21);
    return _mm256_alignr_epi8(upper, window, 2);
}

template <int Order>
__attribute__((always_inline)) inline int32_t stageStep(Stage &st, int32_t input)
{
    // Longer filters spend their time in the older values; measured, the
    // registers' upkeep costs them more than the wait.
    if constexpr (Order > kHeadOrders)
        return filterStep(st.s, input, FixedDot<Order>{});
    NNFilter::State &s = st.s;
    const int pos = s.pos;
    int16_t *const coeffs = s.coeffs;
    const int16_t *const delay = s.delay + pos - Order;
    const int16_t *const adapt = s.adapt + pos - Order;
    const int direction = (input < 0) - (input > 0);
    const __m512i dir = _mm512_set1_epi16(int16_t(direction));

    // The last 32 coefficients meet the 16 newest values from the registers
    // and 16 older ones from memory, so every coefficient load is the size
    // and place of the store before it. The steps are applied by
    // multiplying with the direction, cheaper here than a branch.
    __m512i c, d, av;
    int older;
    if constexpr (Order % 32 == 0) {
        older = Order - 32;
        c = _mm512_loadu_si512(coeffs + older);
        d = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(
                                   reinterpret_cast<const __m256i *>(delay + older))),
                               st.delay, 1);
        av = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(
                                    reinterpret_cast<const __m256i *>(adapt + older))),
                                st.adapt, 1);
        _mm512_storeu_si512(coeffs + older, _mm512_add_epi16(c, _mm512_mullo_epi16(av, dir)));
    } else {
        older = Order - 16;
        const __m256i c16 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coeffs + older));
        c = _mm512_castsi256_si512(c16);
        d = _mm512_castsi256_si512(st.delay);
        _mm256_storeu_si256(
            reinterpret_cast<__m256i *>(coeffs + older),
            _mm256_add_epi16(c16, _mm256_mullo_epi16(st.adapt, _mm512_castsi512_si256(dir))));
    }
    __m512i product = _mm512_madd_epi16(c, d);
    if constexpr (Order % 32 != 0) // the upper half of the casts is undefined
        product = _mm512_zextsi256_si512(_mm512_castsi512_si256(product));
    int32_t sum = 0;
    if (older > 0)
        sum = dotAdaptBody(coeffs, delay, adapt, older, direction);
    const __m256i y =
        _mm256_add_epi32(_mm512_castsi512_si256(product),
                         _mm512_castsi512_si256(_mm512_shuffle_i64x2(product, product, 0xEE)));
    __m128i h = _mm_add_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1));
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, _MM_SHUFFLE(1, 0, 3, 2)));
    h = _mm_add_epi32(h, _mm_shuffle_epi32(h, _MM_SHUFFLE(2, 3, 0, 1)));
    sum = int32_t(uint32_t(sum) + uint32_t(_mm_cvtsi128_si32(h)));

    const int64_t round = int64_t(1) << (s.shift - 1);
    const int32_t out =
        int32_t(uint32_t(int32_t((int64_t(sum) + round) >> s.shift)) + uint32_t(input));
    const int16_t clipped = int16_t(std::clamp(out, -32768, 32767));
    s.delay[pos] = clipped;
    st.delay = shiftIn(st.delay, clipped);

    const uint32_t magnitude = out < 0 ? 0u - uint32_t(out) : uint32_t(out);
    const uint32_t average = s.average;
    int16_t step = 0;
    if (magnitude != 0) {
        const int grow =
            (int64_t(magnitude) > int64_t(average) * 3) + (magnitude > average + average / 3);
        const int sign = (out < 0) - (out > 0);
        step = int16_t(sign * (8 << grow));
    }
    s.average = average + uint32_t(int32_t(magnitude - average) / 16);
    int16_t *a = s.adapt + pos;
    *a = step;
    a[-1] >>= 1;
    a[-2] >>= 1;
    a[-8] >>= 1;
    // The same in the register: the newest is lane 15, so the steps one, two
    // and eight back are lanes 14, 13 and 7.
    const __m256i moved = shiftIn(st.adapt, step);
    st.adapt = _mm256_mask_srai_epi16(moved, __mmask16(0x6080), moved, 1);

    if (pos + 1 == NNFilter::kSlide + Order) {
        std::memmove(s.delay, s.delay + NNFilter::kSlide, sizeof(int16_t) * size_t(Order));
        std::memmove(s.adapt, s.adapt + NNFilter::kSlide, sizeof(int16_t) * size_t(Order));
        s.pos = Order;
    } else {
        s.pos = pos + 1;
    }
    return out;
}

#include "FusedFrame.inc"

} // namespace avx512set
AVX512_TARGET_END

} // namespace

DotAdaptFn sse2()
{
    return __builtin_cpu_supports("sse2") ? &sse2set::dotAdapt : nullptr;
}

DotAdaptFn avx2()
{
    return __builtin_cpu_supports("avx2") ? &avx2set::dotAdapt : nullptr;
}

DotAdaptFn avx512()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl")
               ? &avx512set::dotAdapt
               : nullptr;
}

FusedStereoFn fusedFor(DotAdaptFn kernel)
{
    if (kernel == &avx2set::dotAdapt)
        return &avx2set::fused;
    if (kernel == &avx512set::dotAdapt)
        return &avx512set::fused;
    return nullptr;
}

NNFilter::ApplyFn loopFor(DotAdaptFn kernel)
{
    if (kernel == &sse2set::dotAdapt)
        return &sse2set::apply;
    if (kernel == &avx2set::dotAdapt)
        return &avx2set::apply;
    if (kernel == &avx512set::dotAdapt)
        return &avx512set::apply;
    return nullptr;
}

} // namespace ape::kernels

#else

namespace ape::kernels {
DotAdaptFn sse2()
{
    return nullptr;
}
DotAdaptFn avx2()
{
    return nullptr;
}
DotAdaptFn avx512()
{
    return nullptr;
}
NNFilter::ApplyFn loopFor(DotAdaptFn)
{
    return nullptr;
}
FusedStereoFn fusedFor(DotAdaptFn)
{
    return nullptr;
}
} // namespace ape::kernels

#endif
