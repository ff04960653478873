#include "RangeDecoder.h"

namespace ape {

namespace {

// Cumulative frequencies of the overflow symbol (scaled to 16 bits).
constexpr uint16_t kCumulative[22] = {0,     19578, 36160, 48417, 56323, 60899, 63265, 64435,
                                      64971, 65232, 65351, 65416, 65447, 65466, 65476, 65482,
                                      65485, 65488, 65490, 65491, 65492, 65493};

// Beyond the table every value has frequency 1; the top one escapes to 32 bits.
constexpr uint32_t kEscape = 63;

uint32_t overflowSymbol(RangeDecoder &rc, bool &bad)
{
    const uint32_t cf = rc.peekShift(16);
    if (cf >= kCumulative[21]) {
        if (cf > 65535)
            bad = true;
        rc.update(1, cf);
        return cf - 65535 + kEscape;
    }
    uint32_t s = 0;
    while (kCumulative[s + 1] <= cf)
        ++s;
    rc.update(kCumulative[s + 1] - kCumulative[s], kCumulative[s]);
    return s;
}

} // namespace

int32_t decodeResidual(RangeDecoder &rc, RiceState &rice, bool &bad)
{
    uint32_t pivot = rice.ksum >> 5;
    if (pivot == 0)
        pivot = 1;

    uint32_t overflow = overflowSymbol(rc, bad);
    if (overflow == kEscape) {
        overflow = rc.bits(16) << 16;
        overflow |= rc.bits(16);
    }

    uint32_t base;
    if (pivot < 0x10000) {
        base = rc.peekFrequency(pivot);
        rc.update(1, base);
    } else {
        // Too wide for one step: the high part first, then the low bits.
        int shift = 0;
        uint32_t hi = pivot;
        while (hi & ~0xffffu) {
            hi >>= 1;
            ++shift;
        }
        const uint32_t top = rc.peekFrequency(hi + 1);
        rc.update(1, top);
        const uint32_t low = rc.peekFrequency(1u << shift);
        rc.update(1, low);
        base = (top << shift) + low;
    }

    const uint32_t x = base + overflow * pivot;

    const uint32_t lower = rice.k ? 1u << (rice.k + 4) : 0;
    rice.ksum += ((x + 1) / 2) - ((rice.ksum + 16) >> 5);
    if (rice.ksum < lower)
        --rice.k;
    else if (rice.ksum >= (1u << (rice.k + 5)) && rice.k < 24)
        ++rice.k;

    // Odd codes are positive, even codes zero or negative.
    return int32_t(((x >> 1) ^ ((x & 1) - 1)) + 1);
}

} // namespace ape
