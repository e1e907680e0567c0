#include "Analyseacoustics.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "Audiofile.h"
#include "Checkedfiles.h"
#include "Commandline.h"
#include "Floatwav.h"
#include "Logsweep.h"
#include "Roomacoustics.h"
#include "Spectrumtable.h"
#include "Sweepdeconvolution.h"

namespace {

constexpr const char* kProgram = "tonvista-analyse";

const char* const kHelp =
    "Usage: tonvista-analyse --acoustics [--sweep SWEEP_FILE] [--ir OUT.wav] FILE...\n"
    "       tonvista-analyse --make-sweep OUT.wav [--sweep-from HZ] [--sweep-to HZ]\n"
    "                        [--sweep-seconds S] [--sweep-rate HZ]\n"
    "Room-acoustic parameters after ISO 3382-1 of an impulse response (FILE's first channel),\n"
    "or, with --sweep, of the response deconvolved from FILE, the recording of SWEEP_FILE\n"
    "played: one 'BAND.PARAM: value unit' line each, BAND an octave (63 ... 8000) or\n"
    "broadband, PARAM edt_s, t20_s, t30_s, c50_db, c80_db, d50_pct or ts_ms. A value that\n"
    "cannot be measured reads nan, with the reason on standard error. Of several FILEs each\n"
    "line begins with the file's name and a tab; a file that cannot be analysed is named on\n"
    "stderr and skipped.\n"
    "\n"
    "  --sweep FILE         the sweep that was played (any sweep; the band it covers is\n"
    "                       found from it)\n"
    "  --ir FILE            write the impulse response as a 32-bit float WAV (of one FILE)\n"
    "  --names              the name and a tab before each line for one FILE too\n"
    "  --make-sweep FILE    write a synchronised logarithmic sweep (32-bit float WAV, -6 dB\n"
    "                       re full scale, 10 ms fades) from --sweep-from (default 20 Hz) to\n"
    "                       --sweep-to (default 20000 Hz) in about --sweep-seconds (default 4)\n"
    "                       at --sweep-rate (default 48000 Hz)\n"
    "\n"
    "Exit status: 0 done, 2 bad option, 3 unreadable input, 4 output not written.\n";

int Message(int status, const std::string& text) {
  return ::Message(kProgram, status, text);
}

struct Options {
  bool acoustics = false;
  std::string sweep, ir, makeSweep;
  std::vector<std::string> files;
  bool names = false;
  double from = 20.0, to = 20000.0, seconds = 4.0, rate = 48000.0;
  bool sweepShapeGiven = false;
};

int Parse(int argc, char** argv, Options* o) {
  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
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
      std::fputs(kHelp, stdout);
      return kOk;
    }
    if (name == "--acoustics" || name == "--quiet" || name == "--names") {
      if (inlineValue) return Message(kBadOption, name + " takes no value");
      if (name == "--acoustics") o->acoustics = true;
      if (name == "--names") o->names = true;
      continue;
    }
    static const char* const valued[] = {"--sweep",      "--ir",       "--make-sweep",
                                         "--sweep-from", "--sweep-to", "--sweep-seconds",
                                         "--sweep-rate"};
    bool known = false;
    for (const char* v : valued)
      known = known || name == v;
    if (!known)
      return Message(kBadOption, "'" + name + "' cannot be combined with --acoustics or " +
                                     "--make-sweep; see --help");
    if (!inlineValue) {
      if (i + 1 >= argc) return Message(kBadOption, name + " needs a value; see --help");
      value = argv[++i];
    }
    if (name == "--sweep" || name == "--ir" || name == "--make-sweep") {
      if (value.empty()) return Message(kBadOption, name + " needs a file name");
      (name == "--sweep" ? o->sweep : name == "--ir" ? o->ir : o->makeSweep) = value;
      continue;
    }
    double v = 0.0;
    if (!ParseNumber(value, &v) || !(v > 0.0))
      return Message(kBadOption, name + " '" + value + "': must be a number above 0");
    (name == "--sweep-from"      ? o->from
     : name == "--sweep-to"      ? o->to
     : name == "--sweep-seconds" ? o->seconds
                                 : o->rate) = v;
    o->sweepShapeGiven = true;
  }
  if (o->acoustics == !o->makeSweep.empty())
    return Message(kBadOption, "give either --acoustics or --make-sweep; see --help");
  if (o->acoustics) {
    if (o->sweepShapeGiven)
      return Message(kBadOption, "--sweep-from and the like need --make-sweep");
    if (o->files.empty()) return Message(kBadOption, "no FILE given; see --help");
    if (o->files.size() > 1 && !o->ir.empty())
      return Message(kBadOption, "--ir writes one file: give one FILE with it ('" + o->files[0] +
                                     "' and '" + o->files[1] + "')");
  } else {
    if (o->names) return Message(kBadOption, "--names needs --acoustics");
    if (!o->files.empty() || !o->sweep.empty() || !o->ir.empty())
      return Message(kBadOption, "--make-sweep takes no FILE, --sweep or --ir");
    if (!(o->rate >= 8000.0 && o->rate <= 768000.0) || o->rate != std::floor(o->rate))
      return Message(kBadOption, "--sweep-rate must be a whole number of Hz from 8000 to 768000");
    if (!(o->to > o->from) || o->to > o->rate / 2.0)
      return Message(kBadOption,
                     "the sweep must rise from --sweep-from to --sweep-to, at most "
                     "half of --sweep-rate");
    if (o->seconds < 0.1 || o->seconds > 60.0)
      return Message(kBadOption, "--sweep-seconds must lie from 0.1 to 60");
  }
  return -1;
}

bool WriteWav(const std::string& path, const std::vector<double>& x, double scale, int rate,
              std::string* error) {
  std::string bytes;
  if (!FloatWavBytes(x, scale, rate, &bytes)) {
    *error = path + ": too long for a WAV file";
    return false;
  }
  return WriteFileWhole(path, bytes, error);
}

// The first channel of a whole file (16-bit scale), refused beyond `most` frames.
bool ReadFirstChannel(const std::string& path, int64_t most, std::vector<double>* out, int* rate,
                      std::string* error) {
  Audiofile file;
  if (!file.Open(path, error)) return false;
  if (file.Frames() > most) {
    *error = path + ": longer than " + std::to_string(most) + " frames";
    return false;
  }
  if (file.Frames() < 1) {
    *error = path + ": holds no frames";
    return false;
  }
  *rate = file.Rate();
  out->resize(static_cast<size_t>(file.Frames()));
  std::vector<double> right(file.Channels() == 2 ? out->size() : 0);
  const int64_t got =
      file.Read(out->data(), right.empty() ? nullptr : right.data(), file.Frames(), error);
  if (got != file.Frames()) {
    if (got >= 0) *error = path + ": the file ended early";
    return false;
  }
  // A response with holes put to 0 would give decays that the room does not have.
  if (file.NonFinite() > 0) {
    *error = file.NonFiniteNote() + "; not analysed";
    return false;
  }
  return true;
}

std::string Number(double v, const char* format) {
  if (std::isnan(v)) return "nan";
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

// The notes say `lead` (the file's name, of several) before the parameter.
void AddLines(const RoomParameters& p, const std::string& lead, std::string* text,
              std::string* notes) {
  struct Line {
    const char* name;
    double value;
    const char* format;
    const char* unit;
    const std::string* reason;
  };
  const Line lines[] = {{"edt_s", p.edt.seconds, "%.3f", "s", &p.edt.reason},
                        {"t20_s", p.t20.seconds, "%.3f", "s", &p.t20.reason},
                        {"t30_s", p.t30.seconds, "%.3f", "s", &p.t30.reason},
                        {"c50_db", p.c50Db, "%.2f", "dB", &p.energyReason},
                        {"c80_db", p.c80Db, "%.2f", "dB", &p.energyReason},
                        {"d50_pct", p.d50Pct, "%.1f", "%", &p.energyReason},
                        {"ts_ms", p.tsMs, "%.1f", "ms", &p.energyReason}};
  for (const Line& l : lines) {
    const std::string key = p.band + "." + l.name;
    *text += key + ": " + Number(l.value, l.format) + " " + l.unit + "\n";
    if (std::isnan(l.value))
      *notes += std::string(kProgram) + ": " + lead + key + ": " +
                (l.reason->empty() ? std::string("not measurable") : *l.reason) + "\n";
  }
}

int MakeSweep(const Options& o) {
  const LogSweepShape shape = SynchronizedLogSweepShape(o.from, o.to, o.seconds, o.rate);
  if (shape.frames < 1) return Message(kBadOption, "these numbers make no sweep");
  const std::vector<double> x = SynchronizedLogSweep(shape, 0.5, 0.01, 0.01);
  std::string error;
  if (!WriteWav(o.makeSweep, x, 1.0, static_cast<int>(o.rate), &error))
    return Message(kBadOutput, error);
  std::printf("sweep: %g Hz to %g Hz, %.6f s, L %.6f s, %lld frames at %g Hz\n", shape.startHz,
              shape.endHz, shape.seconds, shape.rateConstant, static_cast<long long>(shape.frames),
              o.rate);
  return kOk;
}

// The same file as another path names (a link, another spelling).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The parameters of one file, the recording of `sweep` if it is not empty; the notes on
// stderr, the lines in `lines`.
int Acoustics(const Options& o, const std::string& path, const std::vector<double>& sweep,
              int sweepRate, bool prefixed, std::string* lines) {
  std::string error;
  std::vector<double> response;
  int rate = 0;
  // The response in full scale (1.0), as the WAV gets it.
  double toFile = 1.0 / 32768.0;
  if (!o.sweep.empty()) {
    std::vector<double> recording;
    if (!ReadFirstChannel(path, MaxDeconvolutionFrames(), &recording, &rate, &error))
      return Message(kBadInput, error);
    if (rate != sweepRate)
      return Message(kBadInput, path + ": sampled at " + std::to_string(rate) +
                                    " Hz, the sweep at " + std::to_string(sweepRate) + " Hz");
    if (sweep.size() > recording.size())
      return Message(kBadInput, o.sweep + ": the sweep (" + std::to_string(sweep.size()) +
                                    " frames) is longer than the recording " + path + " (" +
                                    std::to_string(recording.size()) + " frames)");
    SweepDeconvolution d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()),
                                           sweep.data(), static_cast<int64_t>(sweep.size()), rate);
    if (!d.valid) return Message(kBadInput, path + ": " + d.error);
    response = std::move(d.response);
    // Recording over sweep: a unit gain reads 1.
    toFile = 1.0;
  } else if (!ReadFirstChannel(path, MaxRoomResponseFrames(), &response, &rate, &error)) {
    return Message(kBadInput, error);
  }
  const RoomAcoustics room =
      AnalyseRoom(response.data(), static_cast<int64_t>(response.size()), rate);
  if (!room.valid) return Message(kBadInput, path + ": " + room.error);
  if (!o.ir.empty() && !WriteWav(o.ir, response, toFile, rate, &error))
    return Message(kBadOutput, error);
  const std::string lead = prefixed ? OneLine(path) + ": " : std::string();
  std::string notes;
  for (const RoomParameters& p : room.bands)
    AddLines(p, lead, lines, &notes);
  AddLines(room.broadband, lead, lines, &notes);
  std::fputs(notes.c_str(), stderr);
  return kOk;
}

int Run(const Options& o) {
  if (!o.makeSweep.empty()) return MakeSweep(o);
  std::string error;
  // The response replaces no input.
  std::vector<std::string> inputs = o.files;
  if (!o.sweep.empty()) inputs.push_back(o.sweep);
  for (const std::string& input : inputs)
    if (!o.ir.empty() && SameFile(o.ir, input))
      return Message(kBadOutput, "--ir " + o.ir + ": is the input " + input + "; not overwritten");
  // The sweep is read once for all the recordings.
  std::vector<double> sweep;
  int sweepRate = 0;
  if (!o.sweep.empty() &&
      !ReadFirstChannel(o.sweep, MaxDeconvolutionFrames(), &sweep, &sweepRate, &error))
    return Message(kBadInput, "--sweep " + error);
  const bool prefixed = o.files.size() > 1 || o.names;
  return RunEach(kProgram, o.files, prefixed, [&](const std::string& path, std::string* lines) {
    return Acoustics(o, path, sweep, sweepRate, prefixed, lines);
  });
}

}  // namespace

bool WantsAcoustics(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--acoustics" || arg == "--make-sweep" || arg.starts_with("--make-sweep="))
      return true;
  }
  return false;
}

int RunAcoustics(int argc, char** argv) {
  Options o;
  const int parsed = Parse(argc, argv, &o);
  if (parsed >= 0) return parsed;
  try {
    return Run(o);
  } catch (const std::bad_alloc&) {
    return Message(kBadInput, (o.files.empty() ? std::string() : o.files.front()) +
                                  ": not enough memory to analyse it");
  }
}
