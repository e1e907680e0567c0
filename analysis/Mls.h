// Maximum-length sequences: the period-(2^order - 1) binary noise whose circular
// autocorrelation is flat off its peak, for impulse responses by correlation.
#pragma once

#include <vector>

// Orders the generator offers.
inline constexpr int kMlsMinOrder = 10;
inline constexpr int kMlsMaxOrder = 20;

// One period as +1/-1 values (order kMlsMinOrder..kMlsMaxOrder; empty otherwise), from a
// Fibonacci shift register over a primitive polynomial started at all ones.
std::vector<double> MaximumLengthSequence(int order);
