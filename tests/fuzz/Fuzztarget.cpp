// The fuzz targets, one executable per check of Readerproperties (TONVISTA_FUZZ_CHECK, set by
// tests/fuzz/CMakeLists.txt): fuzz_audiofile (audio files through the real reader),
// fuzz_calibrationfile, fuzz_spectrumtable (tables and the references made from them) and
// fuzz_options (tonvista-analyse's command line, arguments parted by NUL bytes). A broken
// promise stops the run as a finding.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "Readerproperties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string broken =
      tvfuzz::TONVISTA_FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", broken.c_str());
    __builtin_trap();
  }
  return 0;
}
