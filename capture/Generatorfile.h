// The generator's signal written to a WAV or FLAC file, whole or not at all.
#pragma once

#include <cstdint>
#include <string>

#include "Generator.h"
#include "Samplequantiser.h"

struct GeneratorFileRequest {
  GeneratorSettings settings;  // `on` is ignored: the file starts with the fade-in
  double seconds = 10.0;
  int channels = 1;
  SampleFormat format = SampleFormat::Pcm16;
  bool dither = true;  // only for 16 bits
  uint64_t seed = 0;   // 0: a fresh random seed
};

// Whether the name asks for FLAC (ends in .flac, in any case); WAV otherwise.
bool WantsFlac(const std::string& path);

// Empty when the request can be written to `path` (its format, size and length), else one
// line saying why not.
std::string GeneratorFileProblem(const std::string& path, const GeneratorFileRequest& request);

// Writes the request's frames to a temporary file beside `path` and renames it over `path`:
// on failure nothing is left behind and an existing file is untouched. A path that names a
// folder, a pipe or a device is refused. The signal fades in over its first 10 ms and out over
// its last. False with `error` set (one line, naming the file) when it could not be written.
bool WriteGeneratorFile(const std::string& path, const GeneratorFileRequest& request,
                        std::string* error);
