#pragma once

#include <cstddef>
#include <cstdint>

namespace ape {

// The reflected CRC-32 (polynomial 0xEDB88320) frames are checked with.
// Start with 0xFFFFFFFF; the frame stores the complement shifted right by one.
uint32_t crc32Update(uint32_t state, const uint8_t *data, size_t size);

} // namespace ape
