#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Everything between TARGET_BEGIN and TARGET_END is compiled for the named
// instruction sets, and runs only after the processor was checked for them.
#define TARGET_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define TARGET_BEGIN(sets)                                                                         \
    TARGET_PRAGMA(clang attribute push(__attribute__((target(sets))), apply_to = function))
#define TARGET_END TARGET_PRAGMA(clang attribute pop)
#else
#define TARGET_BEGIN(sets) TARGET_PRAGMA(GCC push_options) TARGET_PRAGMA(GCC target(sets))
#define TARGET_END TARGET_PRAGMA(GCC pop_options)
#endif

// The AVX-512 region: GCC 12's own AVX-512 headers leave an operand
// undefined on purpose, which -Werror would otherwise reject.
#if defined(__clang__)
#define AVX512_TARGET_BEGIN                                                                        \
    TARGET_BEGIN("avx2,avx512f,avx512bw,avx512vl")                                                 \
    TARGET_PRAGMA(GCC diagnostic push) TARGET_PRAGMA(GCC diagnostic ignored "-Wuninitialized")
#else
#define AVX512_TARGET_BEGIN                                                                        \
    TARGET_BEGIN("avx2,avx512f,avx512bw,avx512vl")                                                 \
    TARGET_PRAGMA(GCC diagnostic push)                                                             \
    TARGET_PRAGMA(GCC diagnostic ignored "-Wuninitialized")                                        \
    TARGET_PRAGMA(GCC diagnostic ignored "-Wmaybe-uninitialized")
#endif
#define AVX512_TARGET_END TARGET_PRAGMA(GCC diagnostic pop) TARGET_END
#endif
