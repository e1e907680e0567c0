// Microphone calibration: the response file of a measurement microphone, and the level
// offset from a sound calibrator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CalibrationPoint {
  double frequency;  // Hz
  double db;         // the microphone's response deviation there
};

// A microphone response file: one "frequency dB" pair a line (a further column, the phase, is
// ignored), in ascending frequency; separators are blanks, tabs, commas or semicolons.
// Lines starting with '*' or '"' are comments, except a sensitivity header such as
// "Sens Factor =-1.23dB" (quoted or not, anywhere among the comments, ", SERNO: ..." after it
// allowed). Blank lines are skipped. Numbers take a decimal point; a decimal comma is refused.
class CalibrationFile {
 public:
  // A response file lists a few hundred points; larger files are no such list.
  static constexpr int64_t kMaxFileBytes = int64_t{4} << 20;
  // The response in dB lies within +-kMaxDb, the frequencies up to kMaxFrequency Hz.
  static constexpr double kMaxDb = 200.0;
  static constexpr double kMaxFrequency = 1e6;

  // Parses the text; on failure returns nothing and sets `error` to one line naming the
  // line number, e.g. "line 7: expected 'frequency dB', found 'abc'".
  static std::optional<CalibrationFile> Parse(std::string_view text, std::string* error);
  // Reads (a regular file of at most kMaxFileBytes) and parses a file; the error names the
  // file too.
  static std::optional<CalibrationFile> Load(const std::string& path, std::string* error);

  const std::vector<CalibrationPoint>& Points() const { return points_; }
  bool HasSensitivity() const { return hasSensitivity_; }
  // The "Sens Factor" in dB (0 without one). Informational: the level offset from a
  // calibrator covers the sensitivity.
  double SensitivityDb() const { return sensitivity_; }

  // The microphone's response at `frequency`, interpolated linearly on a log-frequency axis
  // and held at the first / last point outside the file's range.
  double ResponseDb(double frequency) const;
  // What to add to a level measured at `frequency` to undo the response: -ResponseDb.
  double CorrectionDb(double frequency) const { return -ResponseDb(frequency); }

 private:
  std::vector<CalibrationPoint> points_;
  bool hasSensitivity_ = false;
  double sensitivity_ = 0.0;
};

// The offset from dBFS to dB SPL: a calibrator producing `calibratorDbSpl` (94 or 114 dB SPL
// at 1 kHz) read `measuredDbfs` (the level of its tone in dBFS).
inline double CalibratorOffsetDb(double measuredDbfs, double calibratorDbSpl) {
  return calibratorDbSpl - measuredDbfs;
}
