#include "Floatwav.h"

#include <cstdint>
#include <cstring>
#include <utility>

bool FloatWavBytes(const std::vector<double>& x, double scale, int rate, std::string* result) {
  if (x.size() > (uint32_t{0xffffffff} - 64) / 4) return false;
  std::string out;
  auto u32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i)
      out += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  auto u16 = [&out](uint32_t v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
  };
  const auto bytes = static_cast<uint32_t>(4 * x.size());
  out += "RIFF";
  u32(4 + (8 + 18) + (8 + 4) + (8 + bytes));
  out += "WAVEfmt ";
  u32(18);
  u16(3);  // IEEE float
  u16(1);
  u32(static_cast<uint32_t>(rate));
  u32(static_cast<uint32_t>(rate) * 4);
  u16(4);
  u16(32);
  u16(0);
  out += "fact";
  u32(4);
  u32(static_cast<uint32_t>(x.size()));
  out += "data";
  u32(bytes);
  out.reserve(out.size() + bytes);
  for (double v : x) {
    const float f = static_cast<float>(v * scale);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    u32(bits);
  }
  *result = std::move(out);
  return true;
}
