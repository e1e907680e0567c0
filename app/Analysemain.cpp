// tonvista-analyse: the spectrum of an audio file with the analyser's own block maths,
// written as the text table of "Save Chart...", and its spectrogram as the spectrogram window
// draws it. No widgets; QtGui only for the picture.
#include <unistd.h>

#include <QGuiApplication>
#include <QString>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Audiofile.h"
#include "Calibrationfile.h"
#include "Distortionreport.h"
#include "Fft.h"
#include "Octavefilterbank.h"
#include "Peakfinder.h"
#include "Spectrogramimage.h"
#include "Spectrumcore.h"
#include "Spectrumtable.h"

namespace {

constexpr const char* kProgram = "tonvista-analyse";

// Exit statuses.
constexpr int kOk = 0;
constexpr int kBadOption = 2;
constexpr int kBadInput = 3;
constexpr int kBadOutput = 4;

const char* const kWindowNames[] = {"Hanning", "Hamming", "Blackman", "Blackman Harris",
                                    "Rectangular"};

const char* const kHelp =
    "Usage: tonvista-analyse [OPTIONS] FILE\n"
    "The spectrum of an audio file (WAV, FLAC, Ogg Vorbis, ...) in consecutive blocks, as the\n"
    "text table of \"Save Chart...\".\n"
    "\n"
    "  --fft N              block length, a power of two from 256 to 32768 (default 2048)\n"
    "  --window NAME        \"Hanning\", \"Hamming\", \"Blackman\", \"Blackman Harris\" or\n"
    "                       \"Rectangular\" (default \"Blackman Harris\")\n"
    "  --correction DB      level correction in dB (default 0)\n"
    "  --average all|K      all: the mean of the linear magnitudes over every whole block\n"
    "                       (default); K (1 to 20): the moving mean over the last K blocks, as\n"
    "                       the live analyser computes it, as it stands after the last block\n"
    "  --max-hold           add the maximum-hold traces over all blocks (Lmax, Rmax)\n"
    "  --start SECONDS      begin there (default 0)\n"
    "  --length SECONDS     analyse only that much (default: to the end)\n"
    "  --table FILE         write the table to FILE (default: standard output, unless a\n"
    "                       spectrogram is asked for)\n"
    "  --spectrogram FILE   write a PNG spectrogram of every block to FILE\n"
    "  --axis lin|log       the spectrogram's frequency axis (default log)\n"
    "  --measure            instead of the table on standard output, the fundamental, THD,\n"
    "                       THD+N, SINAD and SNR of each channel as 'name: value unit' lines\n"
    "                       (L.thd_db: -59.59 dB), over the mean power of the blocks that\n"
    "                       --average takes; --table still writes the table\n"
    "  --octave B           instead of the spectrum, the Leq of each 1/B-octave band (B: 1, 3,\n"
    "                       6, 12 or 24) over the part analysed, in dB re full scale (a\n"
    "                       full-scale sine reads 0.0), then the broadband Leq and the largest\n"
    "                       F-weighted level of each channel ('L.leq_db: -19.15 dB(A)',\n"
    "                       L.lmax_f_db), CR LF lines; --table FILE writes them there\n"
    "  --weighting A|C|Z    with --octave: the frequency weighting before the bands (default Z)\n"
    "  --calibration FILE   with --octave: a microphone's response file (\"frequency dB\" lines)\n"
    "                       corrected in each band\n"
    "  --spl-offset DB      with --octave: added to every level (dBFS to dB SPL; default 0)\n"
    "  --quiet              no progress bar\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "Blocks do not overlap; a partial last block is left out. Bin k lies at k * rate / N Hz.\n"
    "Mono gives the trace L, stereo L and R; of more channels the first two are used.\n"
    "Exit status: 0 done, 2 bad option, 3 unreadable input (also: NaN or Inf samples, read as\n"
    "0 and named on stderr; with --measure a fundamental too near DC for the block length),\n"
    "4 output not written.\n";

struct Options {
  int fft = 2048;
  int window = WindowBlackmanHarris;
  double correction = 0.0;
  int averages = 0;  // 0: every block
  bool maxHold = false;
  bool measure = false;
  double start = 0.0;
  double length = -1.0;  // to the end
  std::string table;
  std::string spectrogram;
  bool logAxis = true;
  bool quiet = false;
  std::string file;
  int octave = 0;  // bands per octave; 0: the spectrum
  FrequencyWeighting weighting = FrequencyWeighting::Z;
  bool weightingGiven = false;
  std::string calibration;
  double splOffset = 0.0;
  bool splOffsetGiven = false;
};

std::string Seconds(double s) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", s);
  return text;
}

// One line on stderr.
int Message(int status, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
  return status;
}

bool ParseNumber(std::string_view s, double* v) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(*v);
}

bool ParseInt(std::string_view s, long* v) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v);
  return r.ec == std::errc() && r.ptr == end;
}

std::string Folded(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '-' && c != '_')
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

// Parses argv; returns -1 to go on, else the exit status (help and version print here).
int ParseOptions(int argc, char** argv, Options* o) {
  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!o->file.empty())
        return Message(kBadOption, "only one FILE may be given ('" + o->file + "' and '" +
                                       std::string(arg) + "'); see --help");
      o->file = arg;
      continue;
    }
    if (arg == "--") {
      filesOnly = true;
      continue;
    }
    std::string name(arg);
    std::string value;
    bool inlineValue = false;
    if (const size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const auto flag = [&](const char* n) {
      if (name != n) return false;
      return true;
    };
    if (flag("-h") || flag("--help")) {
      std::fputs(kHelp, stdout);
      return kOk;
    }
    if (flag("--version")) {
      std::printf("%s %s\n", kProgram, TONVISTA_VERSION);
      return kOk;
    }
    if (flag("--max-hold") || flag("--quiet") || flag("--measure")) {
      if (inlineValue) return Message(kBadOption, name + " takes no value");
      (name == "--quiet" ? o->quiet : name == "--measure" ? o->measure : o->maxHold) = true;
      continue;
    }
    static const char* const valued[] = {"--fft",       "--window", "--correction", "--average",
                                         "--start",     "--length", "--table",      "--spectrogram",
                                         "--axis",      "--octave", "--weighting",  "--calibration",
                                         "--spl-offset"};
    bool known = false;
    for (const char* v : valued)
      known = known || name == v;
    if (!known) return Message(kBadOption, "unknown option '" + name + "'; see --help");
    if (!inlineValue) {
      if (i + 1 >= argc) return Message(kBadOption, name + " needs a value; see --help");
      value = argv[++i];
    }
    const std::string shown = "'" + value + "'";
    if (name == "--fft") {
      long n = 0;
      if (!ParseInt(value, &n) || n < 256 || n > 32768 || (n & (n - 1)) != 0)
        return Message(kBadOption, "--fft " + shown +
                                       ": must be a power of two from 256 to 32768 "
                                       "(256, 512, 1024, 2048, 4096, 8192, 16384, 32768)");
      o->fft = static_cast<int>(n);
    } else if (name == "--window") {
      int found = -1;
      for (int w = 0; w < 5; ++w)
        if (Folded(value) == Folded(kWindowNames[w])) found = w;
      if (found < 0)
        return Message(kBadOption, "--window " + shown +
                                       ": must be \"Hanning\", \"Hamming\", \"Blackman\", "
                                       "\"Blackman Harris\" or \"Rectangular\"");
      o->window = found;
    } else if (name == "--correction") {
      if (!ParseNumber(value, &o->correction) || std::fabs(o->correction) > 1000.0)
        return Message(kBadOption,
                       "--correction " + shown + ": must be a number of dB from -1000 to 1000");
    } else if (name == "--average") {
      long k = 0;
      if (value == "all") {
        o->averages = 0;
      } else if (ParseInt(value, &k) && k >= 1 && k <= 20) {
        o->averages = static_cast<int>(k);
      } else {
        return Message(kBadOption, "--average " + shown + ": must be 'all' or 1 to 20");
      }
    } else if (name == "--start") {
      if (!ParseNumber(value, &o->start) || o->start < 0.0 || o->start > 1e9)
        return Message(kBadOption, "--start " + shown + ": must be 0 or more seconds");
    } else if (name == "--length") {
      if (!ParseNumber(value, &o->length) || o->length <= 0.0 || o->length > 1e9)
        return Message(kBadOption, "--length " + shown + ": must be more than 0 seconds");
    } else if (name == "--table") {
      if (value.empty()) return Message(kBadOption, "--table needs a file name");
      o->table = value;
    } else if (name == "--spectrogram") {
      if (value.empty()) return Message(kBadOption, "--spectrogram needs a file name");
      o->spectrogram = value;
    } else if (name == "--axis") {
      if (value != "lin" && value != "log")
        return Message(kBadOption, "--axis " + shown + ": must be 'lin' or 'log'");
      o->logAxis = value == "log";
    } else if (name == "--octave") {
      long b = 0;
      if (!ParseInt(value, &b) || !ValidBandsPerOctave(static_cast<int>(b)))
        return Message(kBadOption, "--octave " + shown + ": must be 1, 3, 6, 12 or 24");
      o->octave = static_cast<int>(b);
    } else if (name == "--weighting") {
      if (!ParseWeighting(value, &o->weighting))
        return Message(kBadOption, "--weighting " + shown + ": must be A, C or Z");
      o->weightingGiven = true;
    } else if (name == "--calibration") {
      if (value.empty()) return Message(kBadOption, "--calibration needs a file name");
      o->calibration = value;
    } else if (name == "--spl-offset") {
      if (!ParseNumber(value, &o->splOffset) || std::fabs(o->splOffset) > 1000.0)
        return Message(kBadOption,
                       "--spl-offset " + shown + ": must be a number of dB from -1000 to 1000");
      o->splOffsetGiven = true;
    }
  }
  if (o->octave == 0) {
    if (o->weightingGiven) return Message(kBadOption, "--weighting needs --octave");
    if (!o->calibration.empty()) return Message(kBadOption, "--calibration needs --octave");
    if (o->splOffsetGiven) return Message(kBadOption, "--spl-offset needs --octave");
  } else if (o->measure || !o->spectrogram.empty()) {
    return Message(kBadOption, std::string("--octave cannot be combined with ") +
                                   (o->measure ? "--measure" : "--spectrogram"));
  }
  if (o->file.empty()) return Message(kBadOption, "no FILE given; see --help");
  return -1;
}

// After the output: the non-finite samples read as 0 are said in one line, and make the run
// a refusal of the input (the numbers came from the finite samples alone).
int NoteNonFinite(const Audiofile& file, int status) {
  if (file.NonFinite() == 0) return status;
  const int64_t first = file.FirstNonFinite();
  Message(kOk, file.Path() + ": " + std::to_string(file.NonFinite()) +
                   " non-finite samples (NaN or Inf) read as 0, the first at frame " +
                   std::to_string(first) + " (" +
                   Seconds(static_cast<double>(first) / file.Rate()) + " s)");
  return status == kOk ? kBadInput : status;
}

// A part of the file that holds nothing but non-finite samples has nothing to analyse.
int NothingFinite(const Audiofile& file) {
  return Message(kBadInput, file.Path() + ": holds no finite sample in the part analysed (" +
                                std::to_string(file.NonFinite()) + " NaN or Inf)");
}

// A bar on stderr, redrawn at each whole percent.
class Progress {
 public:
  explicit Progress(bool shown) : shown_(shown) {}
  void Show(double fraction) {
    if (!shown_) return;
    const int percent = static_cast<int>(fraction * 100.0);
    if (percent == last_) return;
    last_ = percent;
    char bar[41];
    const int filled = percent * 40 / 100;
    for (int i = 0; i < 40; ++i)
      bar[i] = i < filled ? '#' : '.';
    bar[40] = 0;
    std::fprintf(stderr, "\r%s [%s] %3d%%", kProgram, bar, percent);
    std::fflush(stderr);
  }
  void Done() {
    if (shown_ && last_ >= 0) std::fputs("\r\033[K", stderr);
  }

 private:
  bool shown_;
  int last_ = -1;
};

// Each block's own levels, as columns of the spectrogram. A long file gets several blocks per
// column (the loudest of them in each bin), so that memory stays bounded whatever its length.
class SpectrogramCollector {
 public:
  SpectrogramCollector(int64_t blocks, int bins, int channels, int rate, int length)
      : bins_(bins), channels_(channels) {
    // At most about 64 MB of columns, and never fewer than the picture's 200.
    const int64_t most =
        std::clamp<int64_t>((int64_t{1} << 23) / (int64_t{bins} * channels), 200, 4000);
    perColumn_ = (blocks + most - 1) / most;
    columns_.Bins = bins;
    columns_.SamplingRate = rate;
    // The time axis counts columns: each lasts its blocks.
    columns_.FFTLength = static_cast<double>(length) * static_cast<double>(perColumn_);
    columns_.NumChannels = channels;
    columns_.Frequency.resize(static_cast<size_t>(bins));
    for (int k = 0; k < bins; ++k)
      columns_.Frequency[static_cast<size_t>(k)] = k * (static_cast<double>(rate) / length);
  }
  void Add(const Spectrumcore& core, double correction) {
    const bool fresh = inColumn_ == 0;
    for (int c = 0; c < channels_; ++c) {
      auto& list = c == 0 ? columns_.Left : columns_.Right;
      if (fresh) list.emplace_back(static_cast<size_t>(bins_), -1e300);
      double* column = list.back().data();
      const auto m = core.BlockMagnitude(c);
      for (int k = 0; k < bins_; ++k)
        column[k] =
            std::max(column[k], Spectrumcore::LevelOf(m[static_cast<size_t>(k)], correction));
    }
    if (++inColumn_ == perColumn_) inColumn_ = 0;
  }
  const SpectrogramColumns& Columns() const { return columns_; }

 private:
  int bins_;
  int channels_;
  int64_t perColumn_ = 1;
  int64_t inColumn_ = 0;
  SpectrogramColumns columns_;
};

// Renders the columns and writes the PNG; false with "path: reason".
bool WriteSpectrogram(const SpectrogramColumns& columns, const Options& o, int rate,
                      std::string* error) {
  // The picture needs fonts but no screen; Qt's notes on the environment are no concern of
  // the user's, whose stderr carries only this program's one-line messages.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  int argc = 1;
  char name[] = "tonvista-analyse";
  char* argv[] = {name, nullptr};
  QGuiApplication app(argc, argv);
  SpectrogramStyle style;
  style.Scale = o.logAxis ? FrequencyScale::Logarithmic : FrequencyScale::Linear;
  style.LowFrequency = o.logAxis ? 10.0 : 0.0;
  style.HighFrequency = rate / 2.0;
  const QImage image = RenderSpectrogram(columns, style);
  QString reason;
  if (WriteSpectrogramPng(image, QString::fromLocal8Bit(o.spectrogram), &reason)) return true;
  *error = reason.toLocal8Bit().toStdString();
  return false;
}

// The fractional-octave table: every sample of the part asked for through the filter bank.
int RunOctave(const Options& o) {
  std::string error;
  std::optional<CalibrationFile> calibration;
  if (!o.calibration.empty()) {
    calibration = CalibrationFile::Load(o.calibration, &error);
    if (!calibration) return Message(kBadInput, "--calibration " + error);
  }
  Audiofile file;
  if (!file.Open(o.file, &error)) return Message(kBadInput, error);
  const int64_t first = std::llround(o.start * file.Rate());
  if (first > file.Frames())
    return Message(kBadInput, o.file + ": ends before --start " + Seconds(o.start) +
                                  " s (it lasts " + Seconds(file.Seconds()) + " s)");
  int64_t frames = file.Frames() - first;
  if (o.length > 0.0) frames = std::min<int64_t>(frames, std::llround(o.length * file.Rate()));
  if (frames < 1) return Message(kBadInput, o.file + ": no frames in the part asked for");
  if (file.Rate() < 8000)
    return Message(kBadInput, o.file + ": sampled at " + std::to_string(file.Rate()) +
                                  " Hz; the bands need 8000 Hz or more");
  if (!file.Seek(first, &error)) return Message(kBadInput, error);
  const int channels = file.Channels();
  OctaveFilterBank bank(o.octave, file.Rate(), channels, o.weighting);
  bank.SetOffsetDb(o.splOffset);
  if (calibration) {
    std::vector<double> corrections;
    for (const FractionalBand& band : bank.Bands())
      corrections.push_back(calibration->CorrectionDb(band.mid));
    bank.SetBandCorrectionsDb(std::move(corrections));
  }
  const int64_t perRead = 65536;
  std::vector<double> left(static_cast<size_t>(perRead)), right;
  if (channels == 2) right.resize(left.size());
  Progress progress(!o.quiet && isatty(STDERR_FILENO) && frames > 5.0 * file.Rate());
  for (int64_t done = 0; done < frames;) {
    const int64_t now = std::min(perRead, frames - done);
    const int64_t got = file.Read(left.data(), right.data(), now, &error);
    if (got != now) {
      progress.Done();
      return Message(kBadInput, got < 0 ? error : o.file + ": the file ended early");
    }
    const double* block[] = {left.data(), channels == 2 ? right.data() : nullptr};
    bank.Process(block, static_cast<int>(now));
    done += now;
    progress.Show(static_cast<double>(done) / static_cast<double>(frames));
  }
  progress.Done();
  if (file.NothingFinite()) return NothingFinite(file);

  std::string text = "Band[Hz] , Centre[Hz] , Level L[dB]";
  if (channels == 2) text += " , Level R[dB]";
  text += "\r\n";
  char cell[64];
  for (int i = 0; i < bank.BandCount(); ++i) {
    const FractionalBand& band = bank.Bands()[i];
    if (o.octave == 1 || o.octave == 3) {
      text += band.label;
    } else {
      std::snprintf(cell, sizeof cell, "%f", band.mid);
      text += cell;
    }
    std::snprintf(cell, sizeof cell, " , %f", band.mid);
    text += cell;
    for (int c = 0; c < channels; ++c) {
      std::snprintf(cell, sizeof cell, " , %f", bank.BandLeqDb(c, i));
      text += cell;
    }
    text += "\r\n";
  }
  // The unit names the weighting: "dB(A)".
  const std::string unit = std::string("dB(") + WeightingName(o.weighting) + ")";
  for (int c = 0; c < channels; ++c) {
    const char* ch = c == 0 ? "L" : "R";
    std::snprintf(cell, sizeof cell, "%s.leq_db: %.2f %s\r\n", ch, bank.Broadband(c).LeqDb(),
                  unit.c_str());
    text += cell;
    std::snprintf(cell, sizeof cell, "%s.lmax_f_db: %.2f %s\r\n", ch,
                  bank.Broadband(c).LmaxDb(TimeWeighting::Fast), unit.c_str());
    text += cell;
  }
  if (!o.table.empty()) {
    std::FILE* out = std::fopen(o.table.c_str(), "wb");
    if (!out) return Message(kBadOutput, o.table + ": " + std::strerror(errno));
    const bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !ok)
      return Message(kBadOutput, o.table + ": " + std::strerror(errno));
    return NoteNonFinite(file, kOk);
  }
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return Message(kBadOutput, std::string("standard output: ") + std::strerror(errno));
  return NoteNonFinite(file, kOk);
}

int Run(const Options& o) {
  if (o.octave > 0) return RunOctave(o);
  Audiofile file;
  std::string error;
  if (!file.Open(o.file, &error)) return Message(kBadInput, error);
  const int n = o.fft;
  const int64_t first = std::llround(o.start * file.Rate());
  if (first > file.Frames())
    return Message(kBadInput, o.file + ": ends before --start " + Seconds(o.start) +
                                  " s (it lasts " + Seconds(file.Seconds()) + " s)");
  int64_t frames = file.Frames() - first;
  if (o.length > 0.0) frames = std::min<int64_t>(frames, std::llround(o.length * file.Rate()));
  const int64_t blocks = frames / n;
  if (blocks < 1)
    return Message(kBadInput, o.file + ": holds less than one block of " + std::to_string(n) +
                                  " frames (" + std::to_string(frames) + " frames" +
                                  (first > 0 || o.length > 0.0 ? " in the part asked for" : "") +
                                  ")");
  if (!file.Seek(first, &error)) return Message(kBadInput, error);

  const int channels = file.Channels();
  Spectrumcore core(n, channels, o.averages, o.maxHold);
  std::unique_ptr<SpectrogramCollector> spectrogram;
  if (!o.spectrogram.empty())
    spectrogram = std::make_unique<SpectrogramCollector>(blocks, n / 2, channels, file.Rate(), n);
  DistortionMeter meter(n, channels, o.averages);
  const bool table = !o.measure || !o.table.empty();
  // Many blocks per read: libsndfile's calls cost more than its copying.
  const int64_t perRead = std::max<int64_t>(1, 65536 / n);
  std::vector<double> left(static_cast<size_t>(perRead * n)), right;
  if (channels == 2) right.resize(left.size());
  Progress progress(!o.quiet && isatty(STDERR_FILENO) && frames > 5.0 * file.Rate());
  for (int64_t done = 0; done < blocks;) {
    const int64_t now = std::min(perRead, blocks - done);
    const int64_t got = file.Read(left.data(), right.data(), now * n, &error);
    if (got != now * n) {
      progress.Done();
      return Message(kBadInput, got < 0 ? error : o.file + ": the file ended early");
    }
    for (int64_t b = 0; b < now; ++b) {
      const double* block[] = {left.data() + b * n, channels == 2 ? right.data() + b * n : nullptr};
      if (table || spectrogram) core.Accumulate(block, o.window, o.correction);
      if (spectrogram) spectrogram->Add(core, o.correction);
      if (o.measure) meter.Add(block, o.window);
    }
    done += now;
    progress.Show(static_cast<double>(done) / blocks);
  }
  progress.Done();
  if (file.NothingFinite()) return NothingFinite(file);
  int measured = kOk;
  if (o.measure) {
    const auto results = meter.Measure(o.window, file.Rate());
    std::string text;
    for (int c = 0; c < channels; ++c) {
      text += FormatDistortionLines(results[c], c == 0 ? "L" : "R", o.correction);
      // A tone too near DC for this block length is a refusal of the input as measured.
      if (results[c].BelowResolution) measured = kBadInput;
      if (!results[c].Valid)
        Message(kOk,
                std::string(c == 0 ? "L" : "R") + ": " +
                    (results[c].BelowResolution ? kBelowResolutionNote : "no tone to measure"));
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      return Message(kBadOutput, std::string("standard output: ") + std::strerror(errno));
    if (!table && !spectrogram) return NoteNonFinite(file, measured);
  }
  core.FormLevels(o.correction, file.Rate(), n);

  std::array<TableTrace, 4> traces{};
  const auto f = core.Frequency();
  traces[0] = {f, core.Level(0)};
  if (channels == 2) traces[1] = {f, core.Level(1)};
  if (o.maxHold) {
    traces[2] = {f, core.MaxLevel(0)};
    if (channels == 2) traces[3] = {f, core.MaxLevel(1)};
  }
  if (spectrogram && !WriteSpectrogram(spectrogram->Columns(), o, file.Rate(), &error))
    return Message(kBadOutput, error);
  // With --measure or a spectrogram the table goes only where --table says.
  if (o.table.empty() && (spectrogram || o.measure)) return NoteNonFinite(file, measured);
  if (o.table.empty()) {
    const std::string text = FormatSpectrumTable(traces, n / 2);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      return Message(kBadOutput, std::string("standard output: ") + std::strerror(errno));
    return NoteNonFinite(file, measured);
  }
  if (!WriteSpectrumTable(o.table, traces, n / 2, &error)) return Message(kBadOutput, error);
  return NoteNonFinite(file, measured);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed >= 0) return parsed;
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    return Message(kBadInput, options.file + ": not enough memory to analyse it");
  }
}
