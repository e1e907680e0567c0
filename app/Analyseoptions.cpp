#include "Analyseoptions.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "Octavefilterbank.h"

namespace {

const char* const kHelp =
    "Usage: tonvista-analyse [OPTIONS] FILE\n"
    "       tonvista-analyse --measure [OPTIONS] FILE...\n"
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
    "                       --average takes; --table still writes the table. Of several\n"
    "                       FILEs each line begins with the file's name and a tab; a file\n"
    "                       that cannot be analysed is named on stderr and skipped\n"
    "  --names              with --measure (or --delay, --acoustics, which take several FILEs\n"
    "                       the same way): the name and a tab before each line for one FILE\n"
    "                       too\n"
    "  --octave B           instead of the spectrum, the Leq of each 1/B-octave band (B: 1, 3,\n"
    "                       6, 12 or 24) over the part analysed, in dB re full scale (a\n"
    "                       full-scale sine reads 0.0), then the broadband Leq and the largest\n"
    "                       F-weighted level of each channel ('L.leq_db: -19.15 dB(A)',\n"
    "                       L.lmax_f_db), CR LF lines; --table FILE writes them there\n"
    "  --weighting A|C|Z    with --octave: the frequency weighting before the bands (default Z)\n"
    "  --calibration FILE   with --octave: a microphone's response file (\"frequency dB\" lines)\n"
    "                       corrected in each band\n"
    "  --spl-offset DB      with --octave: added to every level (dBFS to dB SPL; default 0)\n"
    "  --acoustics          room-acoustic parameters of an impulse response (or, with\n"
    "                       --sweep, of a sweep's recording); --acoustics --help tells more\n"
    "  --quiet              no progress bar\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "Blocks do not overlap; a partial last block is left out. Bin k lies at k * rate / N Hz.\n"
    "Mono gives the trace L, stereo L and R; of more channels the first two are used.\n"
    "Exit status: 0 done, 2 bad option (also an output that is an input or another output),\n"
    "3 unreadable input (of several FILEs: any of them; also NaN or Inf samples, read as 0\n"
    "and named on stderr; with --measure a fundamental too near DC for the block length),\n"
    "4 output not written.\n";

}  // namespace

int ParseOptions(int argc, char** argv, Options* o, std::string* out, std::string* error,
                 const char* version) {
  const auto Refuse = [error](int status, const std::string& text) {
    *error = text;
    return status;
  };
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
    const auto flag = [&](const char* n) {
      if (name != n) return false;
      return true;
    };
    if (flag("-h") || flag("--help")) {
      *out = kHelp;
      return kOk;
    }
    if (flag("--version")) {
      *out = std::string(kProgram) + " " + version + "\n";
      return kOk;
    }
    if (flag("--max-hold") || flag("--quiet") || flag("--measure") || flag("--names")) {
      if (inlineValue) return Refuse(kBadOption, name + " takes no value");
      (name == "--quiet"     ? o->quiet
       : name == "--measure" ? o->measure
       : name == "--names"   ? o->names
                             : o->maxHold) = true;
      continue;
    }
    static const char* const valued[] = {"--fft",       "--window", "--correction", "--average",
                                         "--start",     "--length", "--table",      "--spectrogram",
                                         "--axis",      "--octave", "--weighting",  "--calibration",
                                         "--spl-offset"};
    bool known = false;
    for (const char* v : valued)
      known = known || name == v;
    if (!known) return Refuse(kBadOption, "unknown option '" + name + "'; see --help");
    if (!inlineValue) {
      if (i + 1 >= argc) return Refuse(kBadOption, name + " needs a value; see --help");
      value = argv[++i];
    }
    const std::string shown = "'" + value + "'";
    if (name == "--fft") {
      long n = 0;
      if (!ParseInt(value, &n) || n < 256 || n > 32768 || (n & (n - 1)) != 0)
        return Refuse(kBadOption, "--fft " + shown +
                                      ": must be a power of two from 256 to 32768 "
                                      "(256, 512, 1024, 2048, 4096, 8192, 16384, 32768)");
      o->fft = static_cast<int>(n);
    } else if (name == "--window") {
      const int found = WindowByName(value);
      if (found < 0)
        return Refuse(kBadOption, "--window " + shown +
                                      ": must be \"Hanning\", \"Hamming\", \"Blackman\", "
                                      "\"Blackman Harris\" or \"Rectangular\"");
      o->window = found;
    } else if (name == "--correction") {
      if (!ParseNumber(value, &o->correction) || std::fabs(o->correction) > 1000.0)
        return Refuse(kBadOption,
                      "--correction " + shown + ": must be a number of dB from -1000 to 1000");
    } else if (name == "--average") {
      long k = 0;
      if (value == "all") {
        o->averages = 0;
      } else if (ParseInt(value, &k) && k >= 1 && k <= 20) {
        o->averages = static_cast<int>(k);
      } else {
        return Refuse(kBadOption, "--average " + shown + ": must be 'all' or 1 to 20");
      }
    } else if (name == "--start") {
      if (!ParseNumber(value, &o->start) || o->start < 0.0 || o->start > 1e9)
        return Refuse(kBadOption, "--start " + shown + ": must be 0 or more seconds");
    } else if (name == "--length") {
      if (!ParseNumber(value, &o->length) || o->length <= 0.0 || o->length > 1e9)
        return Refuse(kBadOption, "--length " + shown + ": must be more than 0 seconds");
    } else if (name == "--table") {
      if (value.empty()) return Refuse(kBadOption, "--table needs a file name");
      o->table = value;
    } else if (name == "--spectrogram") {
      if (value.empty()) return Refuse(kBadOption, "--spectrogram needs a file name");
      o->spectrogram = value;
    } else if (name == "--axis") {
      if (value != "lin" && value != "log")
        return Refuse(kBadOption, "--axis " + shown + ": must be 'lin' or 'log'");
      o->logAxis = value == "log";
    } else if (name == "--octave") {
      long b = 0;
      if (!ParseInt(value, &b) || !ValidBandsPerOctave(static_cast<int>(b)))
        return Refuse(kBadOption, "--octave " + shown + ": must be 1, 3, 6, 12 or 24");
      o->octave = static_cast<int>(b);
    } else if (name == "--weighting") {
      if (!ParseWeighting(value, &o->weighting))
        return Refuse(kBadOption, "--weighting " + shown + ": must be A, C or Z");
      o->weightingGiven = true;
    } else if (name == "--calibration") {
      if (value.empty()) return Refuse(kBadOption, "--calibration needs a file name");
      o->calibration = value;
    } else if (name == "--spl-offset") {
      if (!ParseNumber(value, &o->splOffset) || std::fabs(o->splOffset) > 1000.0)
        return Refuse(kBadOption,
                      "--spl-offset " + shown + ": must be a number of dB from -1000 to 1000");
      o->splOffsetGiven = true;
    }
  }
  if (o->octave == 0) {
    if (o->weightingGiven) return Refuse(kBadOption, "--weighting needs --octave");
    if (!o->calibration.empty()) return Refuse(kBadOption, "--calibration needs --octave");
    if (o->splOffsetGiven) return Refuse(kBadOption, "--spl-offset needs --octave");
  } else if (o->measure || !o->spectrogram.empty()) {
    return Refuse(kBadOption, std::string("--octave cannot be combined with ") +
                                  (o->measure ? "--measure" : "--spectrogram"));
  }
  if (o->names && !o->measure) return Refuse(kBadOption, "--names needs --measure");
  if (o->files.empty()) return Refuse(kBadOption, "no FILE given; see --help");
  if (o->files.size() > 1) {
    const std::string two = "('" + o->files[0] + "' and '" + o->files[1] + "')";
    if (!o->measure)
      return Refuse(kBadOption, "only one FILE may be given " + two +
                                    "; several are taken by --measure; see --help");
    if (!o->table.empty() || !o->spectrogram.empty())
      return Refuse(kBadOption, std::string(o->table.empty() ? "--spectrogram" : "--table") +
                                    " writes one file: give one FILE with it " + two);
  }
  return -1;
}
