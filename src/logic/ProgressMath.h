#pragma once

#include <cstdint>
#include <optional>

// numerator / denominator * factor in extended precision, the division
// first, rounded to the nearest integer with ties to even. Empty when the
// denominator is 0 or the result does not fit 64 bits.
std::optional<int64_t> roundedRatio(int64_t numerator, int64_t denominator, int64_t factor);

// The seek bar's value for a stream position: position / length * maximum.
// Empty when the length is not a usable (positive) length.
std::optional<int64_t> barValueForPosition(int64_t position, int64_t length, int barMaximum);

// The byte position a bar value stands for: value / maximum * length.
std::optional<int64_t> targetForBarValue(int value, int barMaximum, int64_t length);

// Whether playback at `position` is more than one bar step away from target.
bool fartherThanOneBarStep(int64_t position, int64_t target, int64_t length, int barMaximum);
