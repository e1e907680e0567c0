// tonvista-generate: the generator's signals written to a WAV or FLAC file, with the same
// maths the generator window plays.
#include <signal.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "Commandline.h"
#include "Generator.h"
#include "Generatorfile.h"
#include "Mls.h"
#include "Outputlist.h"
#include "Player.h"

namespace {

constexpr const char* kProgram = "tonvista-generate";

const char* const kHelp =
    "Usage: tonvista-generate --signal sine|twotone|white|pink|sweep [OPTIONS] OUT\n"
    "       tonvista-generate --signal ... [OPTIONS] --play [OUTPUT]\n"
    "Writes a test signal to OUT: WAV, or FLAC when OUT ends in .flac; or plays it.\n"
    "\n"
    "  --signal NAME        sine, twotone, white, pink, sweep (logarithmic), and also\n"
    "                       periodic-pink (periodic in --period samples) and mls\n"
    "  --frequency HZ       the sine's frequency; twotone's first (default 1000)\n"
    "  --frequency2 HZ      twotone's second frequency (default 7000)\n"
    "  --ratio R            twotone: the first tone's amplitude over the second's (default 4)\n"
    "  --from HZ --to HZ    the sweep's start and end (default 20 and 20000)\n"
    "  --linear             a linear sweep instead of a logarithmic one\n"
    "  --repeat             the sweep over and over; otherwise once, then silence\n"
    "  --period N           periodic-pink: the FFT length, a power of two from 256 to\n"
    "                       1048576 (default 65536)\n"
    "  --order N            mls: the order, 10 to 20 (default 16)\n"
    "  --level DBFS         at most 0 (default -20), relative to a full-scale sine: tones\n"
    "                       and sweeps at that peak, noise and MLS at that sine's RMS\n"
    "  --length SECONDS     the file's length (default 10); one pass of the sweep\n"
    "  --rate HZ            8000 to 192000 (default 48000)\n"
    "  --channels 1|2       the same signal on each channel (default 1)\n"
    "  --format pcm16|pcm24|float\n"
    "                       the samples (default pcm16; 16 bits are TPDF-dithered)\n"
    "  --no-dither          16 bits without dither\n"
    "  --seed N             the same noise every time (default: fresh noise each run)\n"
    "  --play [OUTPUT]      play for --length seconds instead of writing a file, to the\n"
    "                       output of that description or name (a PulseAudio/PipeWire\n"
    "                       sink or an ALSA PCM; default: the system's default output);\n"
    "                       Ctrl+C fades out and stops\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "\n"
    "The signal fades in over its first 10 ms and out over its last. A logarithmic sweep is\n"
    "made slightly shorter than --length so that f1*L is a whole number; the rest is silence.\n"
    "Random noise keeps its peaks within 14 dB of its RMS, so it reaches at most -11 dBFS.\n"
    "Exit status: 0 written (or played), 2 bad option or value, 4 output not written (or\n"
    "not there to play to).\n";

int Message(int status, const std::string& text) {
  return ::Message(kProgram, status, text);
}

struct Options {
  GeneratorFileRequest request;
  std::string out;
  bool signalGiven = false;
  bool linear = false;
  bool sweep = false;
  bool play = false;
  std::string output;  // --play's OUTPUT; empty: the default output
};

int Parse(int argc, char** argv, Options* o) {
  GeneratorSettings& s = o->request.settings;
  s.on = true;
  s.channels = GeneratorChannels::Both;
  o->request.dither = true;
  bool filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      if (!o->out.empty())
        return Message(kBadOption, "only one OUT may be given ('" + o->out + "' and '" +
                                       std::string(arg) + "'); see --help");
      o->out = arg;
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
    if (name == "--version") {
      std::printf("%s %s\n", kProgram, TONVISTA_VERSION);
      return kOk;
    }
    if (name == "--play") {
      o->play = true;
      // The output is optional: the next word is it unless it is an option.
      if (inlineValue) {
        o->output = value;
      } else if (i + 1 < argc && argv[i + 1][0] != '-' && argv[i + 1][0] != '\0') {
        o->output = argv[++i];
      }
      continue;
    }
    if (name == "--linear" || name == "--repeat" || name == "--no-dither") {
      if (inlineValue) return Message(kBadOption, name + " takes no value");
      if (name == "--linear") o->linear = true;
      if (name == "--repeat") s.repeat = true;
      if (name == "--no-dither") o->request.dither = false;
      continue;
    }
    static const char* const valued[] = {
        "--signal", "--frequency", "--frequency2", "--ratio", "--from",     "--to",     "--period",
        "--order",  "--level",     "--length",     "--rate",  "--channels", "--format", "--seed"};
    bool known = false;
    for (const char* v : valued)
      known = known || name == v;
    if (!known) return Message(kBadOption, "unknown option '" + name + "'; see --help");
    if (!inlineValue) {
      if (i + 1 >= argc) return Message(kBadOption, name + " needs a value; see --help");
      value = argv[++i];
    }
    const std::string shown = name + " '" + value + "'";
    double number = 0;
    long long whole = 0;
    if (name == "--signal") {
      o->signalGiven = true;
      o->sweep = value == "sweep";
      if (value == "sine") {
        s.signal = GeneratorSignal::Sine;
      } else if (value == "twotone") {
        s.signal = GeneratorSignal::TwoTone;
      } else if (value == "white") {
        s.signal = GeneratorSignal::White;
      } else if (value == "pink") {
        s.signal = GeneratorSignal::Pink;
      } else if (value == "sweep") {
        s.signal = GeneratorSignal::LogSweep;
      } else if (value == "periodic-pink") {
        s.signal = GeneratorSignal::PeriodicPink;
      } else if (value == "mls") {
        s.signal = GeneratorSignal::Mls;
      } else {
        return Message(kBadOption, shown +
                                       ": must be sine, twotone, white, pink, sweep, "
                                       "periodic-pink or mls");
      }
    } else if (name == "--seed" || name == "--period" || name == "--order" || name == "--rate" ||
               name == "--channels") {
      if (!ParseInt(value, &whole)) return Message(kBadOption, shown + ": must be a whole number");
      if (name == "--seed") {
        if (whole <= 0) return Message(kBadOption, shown + ": must be above 0");
        o->request.seed = static_cast<uint64_t>(whole);
      } else if (name == "--period") {
        if (whole < 256 || whole > (1 << 20) || (whole & (whole - 1)) != 0)
          return Message(kBadOption, shown + ": must be a power of two from 256 to 1048576");
        s.period = static_cast<int>(whole);
      } else if (name == "--order") {
        if (whole < kMlsMinOrder || whole > kMlsMaxOrder)
          return Message(kBadOption, shown + ": must be from 10 to 20");
        s.mlsOrder = static_cast<int>(whole);
      } else if (name == "--rate") {
        if (whole < kGeneratorMinRate || whole > kGeneratorMaxRate)
          return Message(kBadOption, shown + ": must be from 8000 to 192000 Hz");
        s.rate = static_cast<int>(whole);
      } else {
        if (whole != 1 && whole != 2) return Message(kBadOption, shown + ": must be 1 or 2");
        o->request.channels = static_cast<int>(whole);
      }
    } else if (name == "--format") {
      if (value == "pcm16") {
        o->request.format = SampleFormat::Pcm16;
      } else if (value == "pcm24") {
        o->request.format = SampleFormat::Pcm24;
      } else if (value == "float") {
        o->request.format = SampleFormat::Float;
      } else {
        return Message(kBadOption, shown + ": must be pcm16, pcm24 or float");
      }
    } else {
      if (!ParseNumber(value, &number)) return Message(kBadOption, shown + ": must be a number");
      if (name == "--level") {
        if (number > 0.0) return Message(kBadOption, shown + ": must be at most 0 dBFS");
        if (number < -200.0) return Message(kBadOption, shown + ": must be at least -200 dBFS");
        s.levelDb = number;
      } else if (name == "--length") {
        if (number <= 0.0) return Message(kBadOption, shown + ": must be above 0 seconds");
        o->request.seconds = number;
      } else if (number <= 0.0) {
        return Message(kBadOption, shown + ": must be above 0");
      } else if (name == "--frequency") {
        s.frequency = number;
      } else if (name == "--frequency2") {
        s.frequency2 = number;
      } else if (name == "--ratio") {
        s.ratio = number;
      } else if (name == "--from") {
        s.from = number;
      } else if (name == "--to") {
        s.to = number;
      }
    }
  }
  if (!o->signalGiven) return Message(kBadOption, "--signal is needed; see --help");
  if (o->play && !o->out.empty())
    return Message(kBadOption, "--play plays instead of writing: no OUT with it");
  if (!o->play && o->out.empty())
    return Message(kBadOption, "OUT, the file to write, is needed; see --help");
  if (o->linear && !o->sweep) return Message(kBadOption, "--linear is for --signal sweep");
  if (o->linear) s.signal = GeneratorSignal::LinearSweep;
  s.sweepSeconds = o->request.seconds;
  return -1;
}

}  // namespace

std::atomic<bool> stopAsked{false};

// Plays the request to the output named (by description or name) for its length; Ctrl+C or
// a termination fades out early.
int Play(const Options& o) {
  OutputEntry output = DefaultOutput();
  if (!o.output.empty() && o.output != "default" && o.output != output.description) {
    OutputList list(std::chrono::seconds(3));
    list.WaitForChange(0, std::chrono::seconds(2));
    bool found = false;
    std::string names;
    for (const OutputEntry& e : list.Entries()) {
      if (e.description == o.output || e.name == o.output) {
        output = e;
        found = true;
        break;
      }
      names += (names.empty() ? "" : ", ") + ("'" + e.description + "'");
    }
    if (!found)
      return Message(kBadOutput,
                     "--play '" + o.output + "': no such output (there are " + names + ")");
  }
  struct sigaction action {};
  action.sa_handler = [](int) { stopAsked = true; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  const GeneratorSettings& s = o.request.settings;
  Player player(output, o.request.channels, o.request.format, o.request.seed);
  player.SetSettings(s);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const int64_t frames = std::llround(o.request.seconds * s.rate);
  bool played = false;
  // The length is counted in frames the output took; a lost output does not stretch it beyond
  // its time plus a few seconds.
  const auto latest =
      start + std::chrono::milliseconds(static_cast<int64_t>(o.request.seconds * 1000) + 3000);
  while (!stopAsked && Clock::now() < latest &&
         player.FramesPlayed() + static_cast<int64_t>(kFadeSeconds * s.rate) < frames) {
    played = played || player.State() == PlaybackState::Playing;
    if (!played && Clock::now() - start > std::chrono::seconds(3)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::string state = player.StateText();
  GeneratorSettings off = s;
  off.on = false;
  player.SetSettings(off);
  // The player's end lets the fade-out play.
  if (!played) return Message(kBadOutput, "'" + output.description + "': " + state);
  return kOk;
}

int main(int argc, char** argv) {
  Options o;
  if (const int status = Parse(argc, argv, &o); status >= 0) return status;
  const GeneratorSettings& s = o.request.settings;
  // Played, the signal only needs to be playable: no file's format or size limits it.
  const std::string p =
      o.play ? GeneratorSettingsProblem(s) : GeneratorFileProblem(o.out, o.request);
  if (!p.empty()) return Message(kBadOption, p);
  // One seed for the check and the file: a periodic noise's crest is that of its own draw.
  if (o.request.seed == 0) o.request.seed = Generator::RandomSeed() | 1;
  // A level the noise cannot reach within full scale is refused rather than played lower.
  Generator probe(s, o.request.seed);
  if (s.levelDb > probe.HighestLevelDb() + 1e-9) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "--level %g: this noise reaches at most %.2f dBFS within full scale (its peaks "
                  "lie above its RMS)",
                  s.levelDb, probe.HighestLevelDb());
    return Message(kBadOption, text);
  }
  if (o.play) return Play(o);
  std::string error;
  if (!WriteGeneratorFile(o.out, o.request, &error)) return Message(kBadOutput, error);
  return kOk;
}
