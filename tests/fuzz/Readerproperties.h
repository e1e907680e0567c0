// What every reader and parser promises for any input whatever, checked the same way by the
// fuzz targets (on what the fuzzer makes) and by the property test (on the corpus and
// mutations of it): a refusal is one line that names the file, and what is accepted holds only
// finite numbers within the stated ranges. Each check returns "" when the promise holds, else
// what broke; `accepted` (if given) says whether the input was taken.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvfuzz {

// The bytes as an audio file through Audiofile (from an in-memory file, nothing on disk).
std::string CheckAudioBytes(std::string_view bytes, bool* accepted = nullptr);
// The text as a microphone calibration file.
std::string CheckCalibrationText(std::string_view text, bool* accepted = nullptr);
// The text as a table of traces, and as a reference made from it.
std::string CheckTableText(std::string_view text, bool* accepted = nullptr);
// The bytes as tonvista-analyse's command line: arguments parted by NUL bytes.
std::string CheckOptionBytes(std::string_view bytes, bool* accepted = nullptr);

}  // namespace tvfuzz
