// Vector kernels, each compiled for its own instruction set and chosen at run
// time, so the library runs on any x86-64.
#include "NNFilter.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace ape::kernels {

namespace {

// Multiplying by -1, 0 or 1 is a sign mask applied to the steps.
__attribute__((target("sse2"))) int32_t dotAdaptSse2(int16_t *coeffs, const int16_t *delay,
                                                     const int16_t *adapt, int order, int direction)
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

__attribute__((target("avx2"))) int32_t dotAdaptAvx2(int16_t *coeffs, const int16_t *delay,
                                                     const int16_t *adapt, int order, int direction)
{
    const __m256i dir = _mm256_set1_epi16(int16_t(direction));
    __m256i sum = _mm256_setzero_si256();
    int i = 0;
    for (; i + 16 <= order; i += 16) {
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coeffs + i));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(delay + i));
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(adapt + i));
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(c, d));
        c = _mm256_add_epi16(c, _mm256_sign_epi16(a, dir));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(coeffs + i), c);
    }
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    int32_t total = _mm_cvtsi128_si32(s);
    if (i < order)
        total = int32_t(uint32_t(total) +
                        uint32_t(portable(coeffs + i, delay + i, adapt + i, order - i, direction)));
    return total;
}

} // namespace

DotAdaptFn sse2()
{
    return __builtin_cpu_supports("sse2") ? &dotAdaptSse2 : nullptr;
}

DotAdaptFn avx2()
{
    return __builtin_cpu_supports("avx2") ? &dotAdaptAvx2 : nullptr;
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
} // namespace ape::kernels

#endif
