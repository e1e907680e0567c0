// Fuzz target: microphone calibration files. A broken promise stops the run as a finding.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "Readerproperties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string broken =
      tvfuzz::CheckCalibrationText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", broken.c_str());
    __builtin_trap();
  }
  return 0;
}
