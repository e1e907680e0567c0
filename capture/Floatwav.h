// A mono 32-bit float WAV as bytes in memory, for writing whole (WriteFileWhole).
#pragma once

#include <string>
#include <vector>

// x times scale, at `rate` Hz. False (out untouched) when x is too long for the header's 32-bit
// sizes.
bool FloatWavBytes(const std::vector<double>& x, double scale, int rate, std::string* out);
