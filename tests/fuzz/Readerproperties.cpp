#include "Readerproperties.h"

#include <sndfile.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "Analyseoptions.h"
#include "Audiofile.h"
#include "Calibrationfile.h"
#include "Referencecurve.h"
#include "Spectrumtable.h"

namespace tvfuzz {
namespace {

// An in-memory regular file holding the bytes, closed with the object.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("tonvista-fuzz", MFD_CLOEXEC)) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
      const ssize_t w = write(fd_, bytes.data() + done, bytes.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    ok_ = fd_ >= 0 && done == bytes.size();
  }
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  bool Ok() const { return ok_; }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
  bool ok_ = false;
};

bool OneLineNaming(const std::string& error, const std::string& name) {
  return error.starts_with(name + ": ") && error.size() > name.size() + 2 &&
         error.find('\n') == std::string::npos;
}

// Whether libsndfile reads the file as floating-point samples: those may hold NaN or Inf of
// their own, which the analysis counts; integer samples never can.
bool FloatSamples(const std::string& path) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return true;
  sf_close(f);
  const int sub = info.format & SF_FORMAT_SUBMASK;
  return sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE || sub == SF_FORMAT_VORBIS ||
         sub == SF_FORMAT_OPUS;
}

}  // namespace

std::string CheckAudioBytes(std::string_view bytes, bool* accepted) {
  if (accepted) *accepted = false;
  MemoryFile memory(bytes);
  if (!memory.Ok()) return "";  // no memory file to be had: nothing to check
  const std::string path = memory.Path();
  Audiofile file;
  std::string error;
  if (!file.Open(path, &error)) {
    if (file.IsOpen()) return "a refused file stays open";
    return OneLineNaming(error, path) ? ""
                                      : "the refusal is not one line naming the file: " + error;
  }
  if (accepted) *accepted = true;
  if (file.Rate() <= 0) return "a rate of " + std::to_string(file.Rate());
  if (file.Channels() < 1 || file.Channels() > 2 || file.FileChannels() < file.Channels())
    return "channels " + std::to_string(file.Channels());
  if (file.Frames() < 0 || file.Frames() == SF_COUNT_MAX)
    return "a length of " + std::to_string(file.Frames());
  const bool mayBeNonFinite = FloatSamples(path);
  // Bounded, whatever length the header claims.
  const int64_t most = std::min<int64_t>(file.Frames(), 1 << 18);
  std::vector<double> left(4096), right(4096);
  for (int64_t done = 0; done < most;) {
    const int64_t want = std::min<int64_t>(4096, most - done);
    const int64_t got = file.Read(left.data(), right.data(), want, &error);
    if (got < 0)
      return OneLineNaming(error, path) ? "" : "a read failure is not one line: " + error;
    if (got > want) return "read more than asked";
    if (got == 0) return "the file ended before the length it gave";
    for (int64_t i = 0; i < got; ++i)
      for (const double v : {left[static_cast<size_t>(i)],
                             file.Channels() == 2 ? right[static_cast<size_t>(i)] : 0.0})
        if (!mayBeNonFinite && !(std::isfinite(v) && std::fabs(v) <= 32768.0))
          return "an integer sample reads " + std::to_string(v);
    done += got;
  }
  if (file.Frames() > 0 && !file.Seek(0, &error)) return OneLineNaming(error, path) ? "" : error;
  return "";
}

std::string CheckCalibrationText(std::string_view text, bool* accepted) {
  if (accepted) *accepted = false;
  std::string error;
  const auto file = CalibrationFile::Parse(text, &error);
  if (!file) {
    if (error.empty() || error.find('\n') != std::string::npos)
      return "the refusal is not one line: " + error;
    return "";
  }
  if (accepted) *accepted = true;
  const auto& points = file->Points();
  if (points.empty()) return "accepted without points";
  for (size_t i = 0; i < points.size(); ++i) {
    const CalibrationPoint& p = points[i];
    if (!(p.frequency > 0.0 && p.frequency <= CalibrationFile::kMaxFrequency))
      return "a frequency of " + std::to_string(p.frequency);
    if (!(std::fabs(p.db) <= CalibrationFile::kMaxDb))
      return "a response of " + std::to_string(p.db);
    if (i > 0 && !(p.frequency > points[i - 1].frequency)) return "frequencies do not ascend";
  }
  if (!std::isfinite(file->SensitivityDb())) return "a sensitivity that is not finite";
  for (const double hz : {0.0, 1e-3, points.front().frequency, points.back().frequency,
                          std::sqrt(points.front().frequency * points.back().frequency), 1e12})
    if (!std::isfinite(file->CorrectionDb(hz))) return "a correction that is not finite";
  return "";
}

std::string CheckTableText(std::string_view text, bool* accepted) {
  if (accepted) *accepted = false;
  SpectrumTableData table;
  std::string error;
  if (!ParseSpectrumTable(std::string(text), &table, &error)) {
    if (!error.starts_with("line ") || error.find('\n') != std::string::npos)
      return "the refusal does not name its line: " + error;
    return "";
  }
  if (accepted) *accepted = true;
  if (table.Levels.size() != table.Names.size()) return "a column without a name";
  for (const auto& column : table.Levels)
    if (column.size() != table.Frequency.size()) return "columns of different lengths";
  for (const double f : table.Frequency)
    if (!std::isfinite(f)) return "a frequency that is not finite";
  for (const auto& column : table.Levels)
    for (const double v : column)
      if (!std::isfinite(v)) return "a level that is not finite";
  ReferenceCurve left, right;
  if (!ReferenceFromTable(table, &left, &right, &error)) {
    if (error.empty() || error.find('\n') != std::string::npos)
      return "the reference's refusal is not one line: " + error;
    return "";
  }
  for (const ReferenceCurve* c : {&left, &right}) {
    if (c->Frequency.size() != c->Level.size()) return "a reference of unequal columns";
    for (size_t i = 0; i < c->Frequency.size(); ++i) {
      if (!std::isfinite(c->Frequency[i]) || !std::isfinite(c->Level[i]))
        return "a reference point that is not finite";
      if (i > 0 && !(c->Frequency[i] > c->Frequency[i - 1]))
        return "a reference that does not ascend";
    }
  }
  return "";
}

std::string CheckOptionBytes(std::string_view bytes, bool* accepted) {
  if (accepted) *accepted = false;
  std::vector<std::string> args{"tonvista-analyse"};
  size_t at = 0;
  while (at <= bytes.size() && args.size() < 64) {
    const size_t end = std::min(bytes.find('\0', at), bytes.size());
    args.emplace_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  Options o;
  std::string out, error;
  const int status =
      ParseOptions(static_cast<int>(args.size()), argv.data(), &o, &out, &error, "1");
  if (status == kBadOption) return error.empty() ? "refused without a reason" : "";
  if (status == kOk) return out.empty() ? "done without a word" : "";
  if (status != -1) return "status " + std::to_string(status);
  if (accepted) *accepted = true;
  if (!error.empty()) return "a reason with no refusal: " + error;
  if (o.files.empty()) return "no file to analyse";
  if (o.fft < 256 || o.fft > 32768 || (o.fft & (o.fft - 1)) != 0)
    return "an FFT length of " + std::to_string(o.fft);
  if (o.averages < 0 || o.averages > 20) return "averages " + std::to_string(o.averages);
  if (o.window < 0 || o.window > 4) return "window " + std::to_string(o.window);
  if (!std::isfinite(o.correction) || !std::isfinite(o.start) || !std::isfinite(o.length) ||
      !std::isfinite(o.splOffset) || o.start < 0.0)
    return "a number that is not finite";
  if (o.files.size() > 1 && !o.measure) return "several files outside --measure";
  return "";
}

}  // namespace tvfuzz
