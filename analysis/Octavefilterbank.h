// Fractional-octave filter bank (1/1 to 1/24 octave, base-10) on a continuous stream of one or
// two channels, with per-band Leq and F/S time-weighted levels and a broadband meter on the
// (optionally frequency-weighted) stream.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Frequencyweighting.h"
#include "Soundlevelmeter.h"

// The octave ratio of base-10 bands and the reference frequency.
inline constexpr double kOctaveRatio = 1.9952623149688795;  // 10^(3/10)
inline constexpr double kReferenceFrequency = 1000.0;

struct FractionalBand {
  int index = 0;       // x: the band's number relative to the 1 kHz reference
  double mid = 0.0;    // exact mid-band frequency (Hz)
  double lower = 0.0;  // band edges (Hz): mid * G^(-1/2b), mid * G^(1/2b)
  double upper = 0.0;
  std::string label;  // nominal frequency for 1/1 and 1/3 ("31.5", "1000", "12500");
                      // the exact mid-band with 4 significant digits otherwise ("1059")
};

// 1, 3, 6, 12 or 24.
bool ValidBandsPerOctave(int bandsPerOctave);
// Exact mid-band frequency of band x: G^(x/b) * 1000 for odd b, G^((2x+1)/(2b)) * 1000 for
// even b.
double BandMidFrequency(int bandsPerOctave, int index);
// The bands for a sampling rate: from the band of nominal mid-band 20 Hz, or the first whose
// mid-band lies above 20 Hz, to the last whose mid-band lies below 0.45 x rate.
std::vector<FractionalBand> FractionalBands(int bandsPerOctave, double rate);

// Per-band and broadband levels at one moment, to copy across threads.
struct OctaveLevels {
  int channels = 0;
  double seconds = 0.0;         // processed since the levels were last reset
  std::vector<double> leq[2];   // per band, dB
  std::vector<double> fast[2];  // per band, F time weighted, dB
  std::vector<double> slow[2];  // per band, S time weighted, dB
};

// Each band is an order-3 Butterworth band-pass (three biquads) designed at run time for the
// rate it runs at. Bands more than about an octave below the top run on streams halved in
// rate once per octave (half-band FIR anti-alias filters), which keeps the low 1/24-octave
// bands accurate and cheap. Double precision throughout. Levels are dB re full scale (a
// full-scale sine reads 0.0) plus the offset and, per band, the correction set. Not
// thread-safe: one thread processes and reads; copy levels out (Snapshot) for another.
class OctaveFilterBank {
 public:
  // bandsPerOctave: 1, 3, 6, 12 or 24 (throws std::invalid_argument otherwise); channels 1
  // or 2; the weighting is applied to the stream before the bands and the broadband meters.
  OctaveFilterBank(int bandsPerOctave, double rate, int channels,
                   FrequencyWeighting weighting = FrequencyWeighting::Z);
  ~OctaveFilterBank();
  OctaveFilterBank(const OctaveFilterBank&) = delete;
  OctaveFilterBank& operator=(const OctaveFilterBank&) = delete;

  int BandsPerOctave() const { return bandsPerOctave_; }
  double Rate() const { return rate_; }
  int Channels() const { return channels_; }
  FrequencyWeighting Weighting() const { return weighting_; }
  const std::vector<FractionalBand>& Bands() const { return bands_; }
  int BandCount() const { return static_cast<int>(bands_.size()); }

  // Samples in the 16-bit scale. Interleaved: frames x Channels() values.
  void ProcessInterleaved(const double* samples, int frames);
  // One pointer per channel, each `frames` values.
  void Process(const double* const* channels, int frames);

  // Filters back to silence and every level reset.
  void Reset();
  // Leq, Lmax, Lmin, the peak and the duration start again; the filters keep running (no
  // transient at a "Reset" during a run).
  void ResetLevels();

  // Offset added to every level (dBFS -> dB SPL) and to the broadband meters.
  void SetOffsetDb(double offsetDb);
  double OffsetDb() const { return offset_; }
  // Per-band corrections in dB added to the band levels (e.g. a microphone's response at each
  // mid-band, CalibrationFile::CorrectionDb); empty (the default) for none. Size BandCount().
  void SetBandCorrectionsDb(std::vector<double> corrections);

  // Seconds processed since the levels were reset.
  double Seconds() const;
  // Leq of a band since the levels were reset.
  double BandLeqDb(int channel, int band) const;
  // The band's current F or S time-weighted level.
  double BandLevelDb(int channel, int band, TimeWeighting weighting) const;
  void Snapshot(OctaveLevels* out) const;

  // The broadband meter of a channel, on the weighted stream (not band limited); its offset
  // follows SetOffsetDb. Set its interval there.
  const SoundLevelMeter& Broadband(int channel) const { return broadband_[channel]; }
  SoundLevelMeter& Broadband(int channel) { return broadband_[channel]; }

  // The response in dB of band `band` at `frequency` computed from the filters' coefficients:
  // the anti-alias filters on its way down and its band-pass, without the weighting. Aliases
  // are not included (the anti-alias filters keep them below -100 dB in the band's range).
  double ResponseDb(int band, double frequency) const;

  // A whole signal through one band's own path, from rest: the rate changes that lead to its
  // band-pass and the band-pass itself (no weighting, no levels; the bank's state is left
  // alone). The output runs at the band-pass's rate (*outRate: Rate() halved once per stage
  // below the top, or doubled for the top bands) and lags the input by *delaySeconds, the
  // rate changes' linear-phase delay; the band-pass's own response is the band's. Nothing is
  // flushed: pad the input with zeros for the filters' tails.
  std::vector<double> FilterBand(int band, const double* x, long n, double* outRate,
                                 double* delaySeconds) const;

  struct Impl;

 private:
  int bandsPerOctave_;
  double rate_;
  int channels_;
  FrequencyWeighting weighting_;
  double offset_ = 0.0;
  std::vector<FractionalBand> bands_;
  std::vector<double> corrections_;
  SoundLevelMeter broadband_[2];
  std::unique_ptr<Impl> impl_;
};
