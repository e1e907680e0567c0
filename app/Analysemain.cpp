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

#include "Analyseacoustics.h"
#include "Analyseoptions.h"
#include "Analysetransfer.h"
#include "Audiofile.h"
#include "Calibrationfile.h"
#include "Checkedfiles.h"
#include "Distortionreport.h"
#include "Fft.h"
#include "Octavefilterbank.h"
#include "Peakfinder.h"
#include "Spectrogramimage.h"
#include "Spectrumcore.h"
#include "Spectrumtable.h"

namespace {

std::string Seconds(double s) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", s);
  return text;
}

int Message(int status, const std::string& text) {
  return ::Message(kProgram, status, text);
}

int StdoutFailed() {
  return ::StdoutFailed(kProgram);
}

// An output that is one of the inputs would replace it; two outputs that are one file would
// leave only the second. Refused before anything is read or written. Devices (/dev/null)
// take any number of writes and are no input.
int CheckOutputs(const Options& o) {
  struct Named {
    const char* option;
    const std::string& path;
  };
  std::vector<Named> outputs, inputs;
  if (!o.table.empty()) outputs.push_back({"--table", o.table});
  if (!o.spectrogram.empty()) outputs.push_back({"--spectrogram", o.spectrogram});
  for (const std::string& f : o.files)
    inputs.push_back({"", f});
  if (!o.calibration.empty()) inputs.push_back({"--calibration", o.calibration});
  for (size_t i = 0; i < outputs.size(); ++i) {
    const Named& out = outputs[i];
    for (const Named& in : inputs)
      if (SameFile(out.path, in.path))
        return Message(kBadOption, std::string(out.option) + " '" + out.path + "' is " +
                                       (*in.option ? std::string(in.option) + " '" + in.path + "'"
                                                   : "the input '" + in.path + "'") +
                                       " itself; nothing was written");
    for (size_t j = i + 1; j < outputs.size(); ++j)
      if (!IsSpecialFile(out.path) && SameFile(out.path, outputs[j].path))
        return Message(kBadOption, std::string(out.option) + " '" + out.path + "' and " +
                                       outputs[j].option + " '" + outputs[j].path +
                                       "' are the same file; nothing was written");
  }
  return -1;
}

// After the output: the non-finite samples read as 0 are said in one line, and make the run
// a refusal of the input (the numbers came from the finite samples alone).
int NoteNonFinite(const Audiofile& file, int status) {
  if (file.NonFinite() == 0) return status;
  Message(kOk, file.NonFiniteNote());
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
int RunOctave(const Options& o, const std::string& path) {
  std::string error;
  std::optional<CalibrationFile> calibration;
  if (!o.calibration.empty()) {
    calibration = CalibrationFile::Load(o.calibration, &error);
    if (!calibration) return Message(kBadInput, "--calibration " + error);
  }
  Audiofile file;
  if (!file.Open(path, &error)) return Message(kBadInput, error);
  const int64_t first = std::llround(o.start * file.Rate());
  if (first > file.Frames())
    return Message(kBadInput, path + ": ends before --start " + Seconds(o.start) + " s (it lasts " +
                                  Seconds(file.Seconds()) + " s)");
  int64_t frames = file.Frames() - first;
  if (o.length > 0.0) frames = std::min<int64_t>(frames, std::llround(o.length * file.Rate()));
  if (frames < 1) return Message(kBadInput, path + ": no frames in the part asked for");
  if (file.Rate() < 8000)
    return Message(kBadInput, path + ": sampled at " + std::to_string(file.Rate()) +
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
      return Message(kBadInput, got < 0 ? error : path + ": the file ended early");
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
  if (!o.table.empty())
    return WriteFileWhole(o.table, text, &error) ? NoteNonFinite(file, kOk)
                                                 : Message(kBadOutput, error);
  return WriteOut(text) ? NoteNonFinite(file, kOk) : StdoutFailed();
}

// The spectrum of one file: its table and spectrogram, or with --measure its 'name: value'
// lines, printed here, or, with `lines`, handed back for the caller to print.
int RunSpectrum(const Options& o, const std::string& path, std::string* lines) {
  Audiofile file;
  std::string error;
  if (!file.Open(path, &error)) return Message(kBadInput, error);
  const int n = o.fft;
  const int64_t first = std::llround(o.start * file.Rate());
  if (first > file.Frames())
    return Message(kBadInput, path + ": ends before --start " + Seconds(o.start) + " s (it lasts " +
                                  Seconds(file.Seconds()) + " s)");
  int64_t frames = file.Frames() - first;
  if (o.length > 0.0) frames = std::min<int64_t>(frames, std::llround(o.length * file.Rate()));
  const int64_t blocks = frames / n;
  if (blocks < 1)
    return Message(kBadInput, path + ": holds less than one block of " + std::to_string(n) +
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
      return Message(kBadInput, got < 0 ? error : path + ": the file ended early");
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
                (lines ? path + ": " : std::string()) + (c == 0 ? "L" : "R") + ": " +
                    (results[c].BelowResolution ? kBelowResolutionNote : "no tone to measure"));
    }
    if (lines) {
      *lines = std::move(text);
    } else if (!WriteOut(text)) {
      return StdoutFailed();
    }
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
    return WriteOut(FormatSpectrumTable(traces, n / 2)) ? NoteNonFinite(file, measured)
                                                        : StdoutFailed();
  }
  if (!WriteSpectrumTable(o.table, traces, n / 2, &error)) return Message(kBadOutput, error);
  return NoteNonFinite(file, measured);
}

// One file through a mode.
int OneFile(LinesMode mode, const Options& o, const std::string& path, std::string* lines) {
  return ::OneFile(kProgram, path, [&] { return mode(o, path, lines); });
}

// A mode of 'name: value' lines takes many files through RunEach; every other mode one file.
int Run(const Options& o) {
  if (const int refused = CheckOutputs(o); refused >= 0) return refused;
  if (o.octave > 0)
    return OneFile(
        [](const Options& o, const std::string& path, std::string*) { return RunOctave(o, path); },
        o, o.files.front(), nullptr);
  if (o.measure && (o.files.size() > 1 || o.names))
    return RunEach(kProgram, o.files, true, [&o](const std::string& path, std::string* lines) {
      return RunSpectrum(o, path, lines);
    });
  return OneFile(RunSpectrum, o, o.files.front(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (WantsAcoustics(argc, argv)) return RunAcoustics(argc, argv);
  if (WantsTransferMode(argc, argv)) return RunTransferMode(argc, argv);
  Options options;
  std::string out, error;
  const int parsed = ParseOptions(argc, argv, &options, &out, &error, TONVISTA_VERSION);
  if (!error.empty()) return Message(parsed, error);
  // The help of the modes with options of their own follows the spectrum's.
  if (parsed == 0 && !out.empty() && out.starts_with("Usage:")) out += kTransferHelp;
  if (parsed >= 0) return WriteOut(out) ? parsed : StdoutFailed();
  return Run(options);
}
