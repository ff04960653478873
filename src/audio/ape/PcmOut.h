#pragma once

#include <cstdint>

namespace ape {

// Writes `count` samples of `Channels` (1 or 2; c1 is unused in mono) as
// interleaved little-endian PCM of `bits` (8-bit unsigned, 16- and 24-bit
// signed) and returns the end of what it wrote.
template <int Channels>
uint8_t *interleavePcm(const int32_t *c0, const int32_t *c1, uint32_t count, int bits, uint8_t *o)
{
    switch (bits) {
    case 8:
        for (uint32_t i = 0; i < count; ++i) {
            *o++ = uint8_t(c0[i] + 0x80);
            if constexpr (Channels == 2)
                *o++ = uint8_t(c1[i] + 0x80);
        }
        break;
    case 16:
        for (uint32_t i = 0; i < count; ++i) {
            *o++ = uint8_t(c0[i]);
            *o++ = uint8_t(c0[i] >> 8);
            if constexpr (Channels == 2) {
                *o++ = uint8_t(c1[i]);
                *o++ = uint8_t(c1[i] >> 8);
            }
        }
        break;
    default:
        for (uint32_t i = 0; i < count; ++i) {
            *o++ = uint8_t(c0[i]);
            *o++ = uint8_t(c0[i] >> 8);
            *o++ = uint8_t(c0[i] >> 16);
            if constexpr (Channels == 2) {
                *o++ = uint8_t(c1[i]);
                *o++ = uint8_t(c1[i] >> 8);
                *o++ = uint8_t(c1[i] >> 16);
            }
        }
        break;
    }
    return o;
}

} // namespace ape
