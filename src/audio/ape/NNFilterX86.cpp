// Vector kernels, each compiled for its own instruction set and chosen at run
// time, so the library runs on any x86-64. Each comes with a copy of the
// filter loop compiled for the same set, so the kernel is inlined there.
#include "NNFilter.h"
#include "Predictor.h"
#include "RangeDecoder.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace ape::kernels {

namespace {

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif
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

int32_t dotAdapt(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction)
{
    return dotAdaptBody(coeffs, delay, adapt, order, direction);
}

struct Dot
{
    int32_t operator()(int16_t *c, const int16_t *d, const int16_t *a, int order, int dir) const
    {
        return dotAdaptBody(c, d, a, order, dir);
    }
};

#include "NNFilterLoop.inc"

void apply(NNFilter::State &s, int32_t *data, int count)
{
    filterLoop(s, data, count, Dot{});
}

} // namespace sse2set
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
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

int32_t dotAdapt(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction)
{
    return dotAdaptBody(coeffs, delay, adapt, order, direction);
}

struct Dot
{
    int32_t operator()(int16_t *c, const int16_t *d, const int16_t *a, int order, int dir) const
    {
        return dotAdaptBody(c, d, a, order, dir);
    }
};

#include "NNFilterLoop.inc"

// The orders the levels use, each with its loop unrolled.
template <int Order> struct FixedDot
{
    int32_t operator()(int16_t *c, const int16_t *d, const int16_t *a, int, int dir) const
    {
        return dotAdaptBody(c, d, a, Order, dir);
    }
};

void apply(NNFilter::State &s, int32_t *data, int count)
{
    switch (s.order) {
    case 16:
        return filterLoop(s, data, count, FixedDot<16>{});
    case 32:
        return filterLoop(s, data, count, FixedDot<32>{});
    case 64:
        return filterLoop(s, data, count, FixedDot<64>{});
    case 256:
        return filterLoop(s, data, count, FixedDot<256>{});
    case 1280:
        return filterLoop(s, data, count, FixedDot<1280>{});
    default:
        return filterLoop(s, data, count, Dot{});
    }
}

#include "FusedFrame.inc"

} // namespace avx2set
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw")
#endif
// GCC 12's own AVX-512 headers leave an operand undefined on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
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

int32_t dotAdapt(int16_t *coeffs, const int16_t *delay, const int16_t *adapt, int order,
                 int direction)
{
    return dotAdaptBody(coeffs, delay, adapt, order, direction);
}

struct Dot
{
    int32_t operator()(int16_t *c, const int16_t *d, const int16_t *a, int order, int dir) const
    {
        return dotAdaptBody(c, d, a, order, dir);
    }
};

#include "NNFilterLoop.inc"

// The orders the levels use, each with its loop unrolled.
template <int Order> struct FixedDot
{
    int32_t operator()(int16_t *c, const int16_t *d, const int16_t *a, int, int dir) const
    {
        return dotAdaptBody(c, d, a, Order, dir);
    }
};

void apply(NNFilter::State &s, int32_t *data, int count)
{
    switch (s.order) {
    case 16:
        return filterLoop(s, data, count, FixedDot<16>{});
    case 32:
        return filterLoop(s, data, count, FixedDot<32>{});
    case 64:
        return filterLoop(s, data, count, FixedDot<64>{});
    case 256:
        return filterLoop(s, data, count, FixedDot<256>{});
    case 1280:
        return filterLoop(s, data, count, FixedDot<1280>{});
    default:
        return filterLoop(s, data, count, Dot{});
    }
}

#include "FusedFrame.inc"

} // namespace avx512set
#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

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
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
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
