#include "Analysetransfer.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "Audiofile.h"
#include "Commandline.h"
#include "Delayfinder.h"
#include "Fft.h"
#include "Fractionalsmoothing.h"
#include "Spectrumtable.h"
#include "Transferfunction.h"

const char* const kTransferHelp =
    "\n"
    "Usage: tonvista-analyse --transfer [OPTIONS] FILE\n"
    "       tonvista-analyse --delay [--reference L|R] [--names] FILE...\n"
    "A stereo file as a measured system: one channel its input (the reference), the other its\n"
    "output (the measurement).\n"
    "\n"
    "  --transfer           the transfer function as the table 'F-Axis[Hz] , Magnitude[dB] ,\n"
    "                       Phase[deg] , Coherence', one row per bin (k * rate / N Hz), CR LF;\n"
    "                       'nan' where the reference has no energy. The phase is relative to\n"
    "                       the delay the delay finder gives, or to --delay-ms\n"
    "  --delay              the measurement's delay behind the reference: 'delay_samples: ...',\n"
    "                       'delay_ms: ... ms' and 'polarity: normal|inverted' lines. Of\n"
    "                       several FILEs each line begins with the file's name and a tab; a\n"
    "                       file that cannot be analysed is named on stderr and skipped\n"
    "  --names              with --delay: the name and a tab before each line for one FILE too\n"
    "  --reference L|R      the reference channel (default R; the other is the measurement)\n"
    "  --fft N              with --transfer: block length, a power of two from 1024 to 65536\n"
    "                       (default 16384); blocks overlap by 75 %\n"
    "  --window NAME        with --transfer: as above (default \"Hanning\")\n"
    "  --average all|K|fast|slow  with --transfer: every block (default), the last K (1 to\n"
    "                       128), or exponential with a time constant of 1 s (fast) or 8 s\n"
    "                       (slow), as it stands at the end of the file\n"
    "  --smoothing 1/N      with --transfer: 1/1, 1/3, 1/6, 1/12, 1/24 or 1/48 octave, or none\n"
    "                       (default)\n"
    "  --delay-ms MS        with --transfer: take MS as the delay instead of finding it (0: no\n"
    "                       delay taken out); -60000 to 60000\n"
    "  --table FILE         with --transfer: write the table to FILE (default: standard output)\n"
    "The delay finder searches 1 s either way over the whole file. A mono file is refused\n"
    "(status 3).\n";

namespace {

constexpr const char* kProgram = "tonvista-analyse";

int Message(int status, const std::string& text) {
  return ::Message(kProgram, status, text);
}

struct Options {
  bool transfer = false;
  bool delay = false;
  bool referenceLeft = false;  // R by default
  TransferSettings settings;
  bool delayGiven = false;
  double delayMs = 0.0;
  std::string table;
  bool names = false;
  std::vector<std::string> files;
  std::vector<std::string> transferOnly;  // options given that only --transfer takes
};

int Parse(int argc, char** argv, Options* o) {
  o->settings.Length = 16384;
  o->settings.Window = WindowHanning;
  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      o->files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      filesOnly = true;
      continue;
    }
    std::string name, value;
    const bool inlineValue = SplitOption(arg, &name, &value);
    if (name == "-h" || name == "--help") {
      std::fputs(kTransferHelp + 1, stdout);
      return kOk;
    }
    if (name == "--version") {
      std::printf("%s %s\n", kProgram, TONVISTA_VERSION);
      return kOk;
    }
    if (name == "--transfer" || name == "--delay" || name == "--quiet" || name == "--names") {
      if (inlineValue) return Message(kBadOption, name + " takes no value");
      if (name == "--transfer") o->transfer = true;
      if (name == "--delay") o->delay = true;
      if (name == "--names") o->names = true;
      continue;
    }
    static const char* const valued[] = {"--reference", "--fft",      "--window", "--average",
                                         "--smoothing", "--delay-ms", "--table"};
    bool known = false;
    for (const char* v : valued)
      known = known || name == v;
    if (!known)
      return Message(kBadOption, "unknown option '" + name +
                                     "' for --transfer and --delay; see "
                                     "--help");
    if (!inlineValue) {
      if (i + 1 >= argc) return Message(kBadOption, name + " needs a value; see --help");
      value = argv[++i];
    }
    if (name != "--reference") o->transferOnly.push_back(name);
    const std::string shown = "'" + value + "'";
    if (name == "--reference") {
      if (value != "L" && value != "R" && value != "l" && value != "r")
        return Message(kBadOption, "--reference " + shown + ": must be L or R");
      o->referenceLeft = value == "L" || value == "l";
    } else if (name == "--fft") {
      long n = 0;
      if (!ParseInt(value, &n) || n < 1024 || n > 65536 || (n & (n - 1)) != 0)
        return Message(kBadOption, "--fft " + shown +
                                       ": must be a power of two from 1024 to 65536 (1024, "
                                       "2048, 4096, 8192, 16384, 32768, 65536)");
      o->settings.Length = static_cast<int>(n);
    } else if (name == "--window") {
      const int found = WindowByName(value);
      if (found < 0)
        return Message(kBadOption, "--window " + shown +
                                       ": must be \"Hanning\", \"Hamming\", \"Blackman\", "
                                       "\"Blackman Harris\" or \"Rectangular\"");
      o->settings.Window = found;
    } else if (name == "--average") {
      long k = 0;
      if (value == "all") {
        o->settings.Averaging = TransferAveraging::All;
      } else if (value == "fast" || value == "slow") {
        o->settings.Averaging = value == "fast" ? TransferAveraging::Fast : TransferAveraging::Slow;
      } else if (ParseInt(value, &k) && k >= 1 && k <= 128) {
        o->settings.Averaging = TransferAveraging::Last;
        o->settings.Blocks = static_cast<int>(k);
      } else {
        return Message(kBadOption,
                       "--average " + shown + ": must be 'all', 'fast', 'slow' or 1 to 128");
      }
    } else if (name == "--smoothing") {
      long n = 0;
      if (value == "none") {
        o->settings.Smoothing = 0;
      } else if (value.starts_with("1/") && ParseInt(std::string_view(value).substr(2), &n) &&
                 n > 0 && n <= 48 && ValidSmoothingFraction(static_cast<int>(n))) {
        o->settings.Smoothing = static_cast<int>(n);
      } else {
        return Message(kBadOption, "--smoothing " + shown +
                                       ": must be 1/1, 1/3, 1/6, 1/12, 1/24, 1/48 or none");
      }
    } else if (name == "--delay-ms") {
      if (!ParseNumber(value, &o->delayMs) || std::fabs(o->delayMs) > 60000.0)
        return Message(kBadOption, "--delay-ms " + shown +
                                       ": must be a number from -60000 to "
                                       "60000");
      o->delayGiven = true;
    } else if (name == "--table") {
      if (value.empty()) return Message(kBadOption, "--table needs a file name");
      o->table = value;
    }
  }
  if (o->transfer && o->delay)
    return Message(kBadOption, "--transfer and --delay cannot be combined");
  if (o->delay && !o->transferOnly.empty())
    return Message(kBadOption, o->transferOnly.front() + " needs --transfer");
  if (o->names && !o->delay) return Message(kBadOption, "--names needs --delay");
  if (o->files.empty()) return Message(kBadOption, "no FILE given; see --help");
  // The table is one output: of many files only the delay's lines can be told apart.
  if (o->files.size() > 1 && !o->delay)
    return Message(kBadOption, "only one FILE may be given ('" + o->files[0] + "' and '" +
                                   o->files[1] + "'); see --help");
  return -1;
}

// Reads the whole file through `take(measurement, reference, frames)`; -1 when it went, else
// the exit status after its message.
template <typename Take>
int ReadAll(Audiofile& file, bool referenceLeft, Take take) {
  std::string error;
  if (!file.Seek(0, &error)) return Message(kBadInput, error);
  const int64_t perRead = 65536;
  std::vector<double> left(static_cast<size_t>(perRead)), right(left.size());
  for (int64_t done = 0; done < file.Frames();) {
    const int64_t now = std::min(perRead, file.Frames() - done);
    const int64_t got = file.Read(left.data(), right.data(), now, &error);
    if (got != now)
      return Message(kBadInput, got < 0 ? error : file.Path() + ": the file ended early");
    if (referenceLeft)
      take(right.data(), left.data(), static_cast<int>(now));
    else
      take(left.data(), right.data(), static_cast<int>(now));
    done += now;
  }
  return -1;
}

std::string Cell(double v) {
  if (std::isnan(v)) return "nan";
  char text[64];
  std::snprintf(text, sizeof text, "%f", v);
  return text;
}

// True when both paths name one existing file (a link or another spelling included).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Opens path as a measured system; -1 when it is one, else the exit status after its message.
int OpenPair(const Options& o, const std::string& path, Audiofile* file) {
  std::string error;
  if (!file->Open(path, &error)) return Message(kBadInput, error);
  // A sample put to 0 in one channel only would read as a change of the system: the blocks
  // that hold one are left out instead (the core refuses them), and said at the end.
  file->PassNonFinite(true);
  if (file->Channels() < 2)
    return Message(kBadInput, path + ": mono; " + (o.delay ? "--delay" : "--transfer") +
                                  " needs two channels, the measurement and the reference");
  return -1;
}

// The delay finder over the whole file; -1 when it went, else the exit status after its
// message.
int FindDelay(Audiofile& file, bool referenceLeft, DelayEstimate* found) {
  Delayfinder finder(file.Rate(), 1.0);
  if (const int status =
          ReadAll(file, referenceLeft,
                  [&](const double* m, const double* r, int n) { finder.Push(m, r, n); });
      status >= 0)
    return status;
  finder.Flush();
  *found = finder.Find();
  return -1;
}

// --delay over one file: its three lines.
int Delay(const Options& o, const std::string& path, std::string* lines) {
  Audiofile file;
  if (const int status = OpenPair(o, path, &file); status >= 0) return status;
  DelayEstimate found;
  if (const int status = FindDelay(file, o.referenceLeft, &found); status >= 0) return status;
  // Blocks that hold a NaN or Inf are left out; what is left may be too little to find it in.
  if (!found.Found)
    return Message(kBadInput, file.NonFinite() > 0
                                  ? file.NonFiniteNote() + "; no delay found in the rest"
                                  : path +
                                        ": no delay found: the two channels have nothing in common "
                                        "within 1 s");
  char text[160];
  std::snprintf(text, sizeof text, "delay_samples: %.3f\ndelay_ms: %.4f ms\npolarity: %s\n",
                found.Samples, found.Seconds * 1000.0, found.Inverted ? "inverted" : "normal");
  *lines = text;
  // As with --transfer: the delay of the other blocks, the samples left out said in one line.
  if (file.NonFinite() > 0) return Message(kBadInput, file.NonFiniteNote());
  return kOk;
}

int Transfer(const Options& o) {
  const std::string& path = o.files.front();
  // The recording must never be replaced by its own table.
  if (!o.table.empty() && SameFile(o.table, path))
    return Message(kBadOption, "--table '" + o.table + "' is the input file");
  Audiofile file;
  std::string error;
  if (const int status = OpenPair(o, path, &file); status >= 0) return status;
  const double rate = file.Rate();
  if (file.Frames() < o.settings.Length)
    return Message(kBadInput, path + ": holds less than one block of " +
                                  std::to_string(o.settings.Length) + " frames (" +
                                  std::to_string(file.Frames()) + " frames)");

  double delay = 0.0;
  DelayEstimate found;
  if (!o.delayGiven) {
    if (const int status = FindDelay(file, o.referenceLeft, &found); status >= 0) return status;
    if (found.Found) delay = found.Samples;
  } else {
    delay = o.delayMs * rate / 1000.0;
  }
  Transferfunction transfer(o.settings, rate);
  if (!transfer.SetDelay(delay))
    return Message(kBadOption, "--delay-ms: " + std::to_string(o.delayMs) + " ms is too long");
  if (const int status =
          ReadAll(file, o.referenceLeft,
                  [&](const double* m, const double* r, int n) { transfer.Push(m, r, n); });
      status >= 0)
    return status;
  if (transfer.Averages() == 0)
    return Message(kBadInput, path + ": every block holds samples that are not numbers");
  const TransferResult r = transfer.Result();

  std::string text = "F-Axis[Hz] , Magnitude[dB] , Phase[deg] , Coherence\r\n";
  const size_t rows = static_cast<size_t>(o.settings.Length / 2);
  text.reserve(rows * 48);
  for (size_t k = 0; k < rows; ++k) {
    text += Cell(r.Frequency[k]);
    text += " , ";
    text += Cell(r.MagnitudeDb[k]);
    text += " , ";
    text += Cell(r.PhaseDeg[k]);
    text += " , ";
    text += Cell(r.Coherence[k]);
    text += "\r\n";
  }
  if (!o.table.empty()) {
    if (!WriteFileWhole(o.table, text, &error)) return Message(kBadOutput, error);
  } else if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
             std::fflush(stdout) != 0) {
    return Message(kBadOutput, std::string("standard output: ") + std::strerror(errno));
  }
  // Said once the table stands, so that a refusal stays one line.
  if (!o.delayGiven && !found.Found)
    Message(kOk, path + ": no delay found; the phase is relative to 0 ms");
  if (file.NonFinite() > 0) return Message(kBadInput, file.NonFiniteNote());
  return kOk;
}

}  // namespace

bool WantsTransferMode(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--transfer" || arg == "--delay") return true;
  }
  return false;
}

int RunTransferMode(int argc, char** argv) {
  Options o;
  const int parsed = Parse(argc, argv, &o);
  if (parsed >= 0) return parsed;
  if (o.delay)
    return RunEach(
        kProgram, o.files, o.files.size() > 1 || o.names,
        [&o](const std::string& path, std::string* lines) { return Delay(o, path, lines); });
  return OneFile(kProgram, o.files.front(), [&o] { return Transfer(o); });
}
