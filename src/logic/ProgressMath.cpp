#include "logic/ProgressMath.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>

std::optional<int64_t> roundedRatio(int64_t numerator, int64_t denominator, int64_t factor)
{
    if (denominator == 0)
        return std::nullopt;
    const long double ratio = static_cast<long double>(numerator) / denominator;
    const long double scaled = ratio * factor;
    // 2^63 bounds what fits a signed 64-bit result.
    constexpr long double kLimit = 9223372036854775808.0L;
    if (!std::isfinite(scaled) || scaled >= kLimit || scaled < -kLimit)
        return std::nullopt;
    // The default rounding mode rounds halves to even.
    return static_cast<int64_t>(std::nearbyintl(scaled));
}

std::optional<int64_t> barValueForPosition(int64_t position, int64_t length, int barMaximum)
{
    if (length <= 0)
        return std::nullopt;
    return roundedRatio(position, length, barMaximum);
}

std::optional<int64_t> targetForBarValue(int value, int barMaximum, int64_t length)
{
    if (length <= 0 || barMaximum <= 0)
        return std::nullopt;
    return roundedRatio(value, barMaximum, length);
}

bool fartherThanOneBarStep(int64_t position, int64_t target, int64_t length, int barMaximum)
{
    const long double distance =
        std::fabs(static_cast<long double>(position) - static_cast<long double>(target));
    // The distance is a 64-bit integer: the extended type holds it exactly.
    return distance > static_cast<long double>(length) / barMaximum;
}
