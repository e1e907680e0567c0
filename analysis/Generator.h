// The signal generator: sine, two tones, white and pink noise (random or periodic), MLS and
// sweeps, with fades, level ramps and full-scale safety. Qt-free; the generator window and
// tonvista-generate share it, and the playback thread runs it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class GeneratorSignal { Sine, TwoTone, White, Pink, PeriodicPink, Mls, LogSweep, LinearSweep };
enum class GeneratorChannels { Left, Right, Both };

// Everything the generator plays, as one value: a window builds a fresh one and hands it
// whole to the thread that plays (Generator::Apply); nothing else is shared.
struct GeneratorSettings {
  // Each run starts with the generator off.
  bool on = false;
  GeneratorSignal signal = GeneratorSignal::Sine;
  // Sine; the first of two tones.
  double frequency = 1000.0;
  // The second tone and the first tone's amplitude over the second's (60 Hz + 7 kHz at 4:1).
  double frequency2 = 7000.0;
  double ratio = 4.0;
  // Sweeps: from, to, the length of one pass; once or over and over.
  double from = 20.0;
  double to = 20000.0;
  double sweepSeconds = 10.0;
  bool repeat = false;
  // Periodic pink noise: the FFT length it is periodic in (a power of two, 2^8 to 2^20).
  int period = 65536;
  int mlsOrder = 16;
  // dBFS relative to a full-scale sine (AES17): tones and sweeps at this peak, noise and MLS
  // at the RMS of a sine of this peak (-20 dBFS: peak 0.1, or RMS 0.0707).
  double levelDb = -20.0;
  GeneratorChannels channels = GeneratorChannels::Both;
  int rate = 48000;
  bool operator==(const GeneratorSettings&) const = default;
};

inline constexpr int kGeneratorMinRate = 8000;
inline constexpr int kGeneratorMaxRate = 192000;
// Start, stop and a change of signal fade over this; level changes ramp over it too.
inline constexpr double kFadeSeconds = 0.010;

// Empty when the settings can be played; otherwise one line saying what is wrong (a level
// above 0 dBFS, a frequency at or above half the rate, a sweep too short, ...).
std::string GeneratorSettingsProblem(const GeneratorSettings& settings);

// The length of one pass of the sweep: a logarithmic sweep is made a little shorter than
// asked, so that f1·L is a whole number (L = T / ln(f2/f1)), which puts every harmonic's
// response at an exact time and makes each pass start and end at a zero of phase.
double SweepPassSeconds(const GeneratorSettings& settings);

class Generator {
 public:
  explicit Generator(const GeneratorSettings& settings, uint64_t seed = RandomSeed());
  ~Generator();
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  // Takes new settings (between two Render calls, on the thread that renders, or before any):
  // on/off fades in or out; a level change ramps; a new frequency of the sine or the tones
  // follows on without a break of phase; anything else fades the old signal out and the new
  // one in. Settings with a problem are ignored. A periodic pink noise is made here (a few
  // FFTs of its length).
  void Apply(const GeneratorSettings& settings);
  // The same with the period of a periodic noise made beforehand on another thread
  // (PeriodicPink of the settings' period and rate), so that the rendering thread does not
  // stop for it; a period of another length is not used.
  void Apply(const GeneratorSettings& settings, std::vector<double> period);
  const GeneratorSettings& Settings() const { return settings_; }

  // The next `frames` frames of `channels` (1 or 2) interleaved samples in full-scale units;
  // never beyond ±1. One channel carries the signal whatever the channel setting; two carry it
  // on the left, the right or both.
  void Render(double* out, int frames, int channels);

  // Off and faded out: nothing more will sound until switched on again.
  bool Silent() const;
  // The output lost what was rendered (it went away): the signal fades in afresh when it
  // plays again, rather than coming back at full level.
  void Cut();
  // A sweep played once has ended.
  bool Finished() const;
  // The highest level the signal reaches within full scale: 0 dBFS for the tones, sweeps and
  // MLS; for the noises, whose level is their RMS, the level that puts their largest peak at
  // full scale (random noise is held within kNoiseCrest times its RMS, -11 dBFS; a periodic
  // one has its period's own crest). A higher level set plays at this one.
  double HighestLevelDb() const;
  // The level the signal plays at (the set one, or HighestLevelDb when that is lower).
  double LevelDb() const;

  static uint64_t RandomSeed();

  class Source;

 private:
  std::unique_ptr<Source> Make(const GeneratorSettings& s);
  std::vector<double> period_;
  double TargetAmplitude() const;

  GeneratorSettings settings_;
  uint64_t seed_;
  std::unique_ptr<Source> source_;
  // A new signal waiting for the old one to fade out.
  std::unique_ptr<Source> pending_;
  int fadeFrames_ = 480;
  // The fade's position (0 silent .. fadeFrames_ full) and the amplitude, ramping.
  int fade_ = 0;
  double amplitude_ = 0.0;
  double amplitudeStep_ = 0.0;
  double amplitudeTarget_ = 0.0;
};
