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
#endif
