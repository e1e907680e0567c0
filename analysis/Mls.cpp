#include "Mls.h"

#include <cstdint>

namespace {

// Feedback taps of a primitive polynomial of each order: s[i + order] is the sum (mod 2) of
// s[i + order - b] over the taps b.
struct Taps {
  int order;
  int tap[4];
};
constexpr Taps kTaps[] = {
    {10, {10, 7, 0, 0}},  {11, {11, 9, 0, 0}},  {12, {12, 6, 4, 1}},   {13, {13, 4, 3, 1}},
    {14, {14, 5, 3, 1}},  {15, {15, 14, 0, 0}}, {16, {16, 15, 13, 4}}, {17, {17, 14, 0, 0}},
    {18, {18, 11, 0, 0}}, {19, {19, 6, 2, 1}},  {20, {20, 17, 0, 0}},
};

}  // namespace

std::vector<double> MaximumLengthSequence(int order) {
  if (order < kMlsMinOrder || order > kMlsMaxOrder) return {};
  uint32_t mask = 0;
  for (const Taps& t : kTaps)
    if (t.order == order)
      for (int b : t.tap)
        if (b > 0) mask |= 1u << (order - b);
  const uint32_t length = (1u << order) - 1;
  std::vector<double> out(length);
  uint32_t reg = length;  // all ones
  for (uint32_t i = 0; i < length; ++i) {
    out[i] = (reg & 1u) ? -1.0 : 1.0;
    const uint32_t feedback = static_cast<uint32_t>(__builtin_parity(reg & mask));
    // Bit 0 is the oldest bit: s[i + order] = XOR of s[i + order - b] over the taps b.
    reg = (reg >> 1) | (feedback << (order - 1));
  }
  return out;
}
