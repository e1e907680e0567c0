// The transfer function of a system from two continuous channels: the measurement (the system's
// output) and the reference (its input). Overlapping windowed blocks (Welch), averaged cross-
// and auto-spectra Gxy, Gxx, Gyy (x the reference, y the measurement), H1 = Gxy / Gxx and the
// magnitude-squared coherence |Gxy|^2 / (Gxx Gyy). Qt-free; fed from any one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "Fft.h"
#include "Realspectrum.h"

enum class TransferAveraging {
  All,   // every block since the last reset
  Last,  // the last Blocks blocks
  Fast,  // exponential, time constant 1 s
  Slow,  // exponential, time constant 8 s
};

// How the magnitude is averaged; the phase is always that of the averaged complex Gxy.
enum class TransferCombining {
  Complex,            // |Gxy| / Gxx: H1
  Polar,              // the mean of each block's |Y / X| in dB
  CoherenceWeighted,  // the same mean, each block weighted by its own coherence over 5 bins
};

struct TransferSettings {
  // A power of two; 16 to 262144 are taken (the window and the command line offer 1024 to
  // 65536, the constant-resolution set goes further).
  int Length = 16384;
  int Window = WindowHanning;
  int Hop = 0;  // frames between block starts; 0: Length / 4 (75 % overlap)
  TransferAveraging Averaging = TransferAveraging::All;
  int Blocks = 16;  // for Last: 1 to 128
  TransferCombining Combining = TransferCombining::Complex;
  int Smoothing = 0;  // 1/N octave (1, 3, 6, 12, 24, 48); 0: none
  // Points whose coherence lies below are blanked as well (0: none on that ground).
  double BlankBelowCoherence = 0.0;
};

inline constexpr double kTransferFastSeconds = 1.0;
inline constexpr double kTransferSlowSeconds = 8.0;
// A point whose reference power lies more than this far below the mean over the bins (90 dB)
// is blanked: the source put no energy there, so the ratio would be a guess.
inline constexpr double kTransferNoEnergy = 1e-9;

// Every array has Bins() = Length / 2 + 1 points, bin k at k * rate / Length Hz; a blanked point
// is NaN in every array but Frequency.
struct TransferResult {
  std::vector<double> Frequency;    // Hz
  std::vector<double> MagnitudeDb;  // 20 lg |H|
  std::vector<double> PhaseDeg;     // wrapped to (-180, 180]
  std::vector<double> Coherence;    // 0 to 1
  std::vector<double> GroupDelay;   // seconds, of the system after the delay set
  int Averages = 0;                 // blocks in the average
};

class Transferfunction {
 public:
  // Settings out of range are brought into it (see TransferSettings); rate in Hz.
  Transferfunction(const TransferSettings& settings, double rate);

  const TransferSettings& Settings() const { return settings_; }
  double Rate() const { return rate_; }
  int Bins() const { return settings_.Length / 2 + 1; }

  // The measurement is taken to lag the reference by `samples` (negative: to lead it); the
  // lagging one is delayed back by that much before the spectra are formed: the whole samples
  // in the sample domain, the fraction by a phase ramp on its spectrum. Resets the averages.
  // False, and nothing changed, for a non-finite delay or one beyond 2^24 samples.
  bool SetDelay(double samples);
  double Delay() const { return delay_; }
  // Smoothing and coherence blanking act on the result only; the averages stay.
  void SetSmoothing(int fraction);
  void SetBlankBelowCoherence(double coherence);

  // Both arrays hold `frames` samples of the same instants (any scale). A block holding a
  // non-finite sample is not averaged; it is counted in Refused().
  void Push(const double* measurement, const double* reference, int frames);
  // Interleaved frames of `channels` channels; the two named channels are taken.
  void PushInterleaved(const double* frames, int count, int channels, int measurementChannel,
                       int referenceChannel);
  // Forgets every block and sample (the delay stays). Result and Impulse may run on another
  // thread only under the caller's lock: they read what Push writes.
  void Reset();

  int Averages() const { return averaged_; }
  int64_t Refused() const { return refused_; }

  TransferResult Result() const;
  // The impulse response: the inverse transform of H over Length points, index 0 at the delay
  // set, the second half being negative times (circular). Blanked bins count as 0.
  std::vector<double> Impulse() const;

 private:
  void TakeBlock();
  void AddRecord(const double* xr, const double* xi, const double* yr, const double* yi,
                 double sign);
  // H1 and the blanking of each bin (NaN where blank).
  void FormH(std::vector<double>* hr, std::vector<double>* hi, std::vector<double>* coherence,
             std::vector<double>* magnitude2) const;

  TransferSettings settings_;
  double rate_;
  int hop_;
  double decay_ = 1.0;  // exponential averaging: the weight left to the past at each block
  RealSpectrum spectrum_;
  double delay_ = 0.0;
  // Each channel's whole-sample delay and the phase ramp of its fraction (per bin).
  int shiftMeasurement_ = 0;
  int shiftReference_ = 0;
  bool rampMeasurement_ = false;
  std::vector<double> rampRe_, rampIm_;

  // The samples from absolute frame base_ on.
  std::vector<double> measurement_, reference_;
  int64_t base_ = 0;
  int64_t pushed_ = 0;
  int64_t next_ = 0;  // where the next block of the undelayed channel starts

  // Sums (or exponential means) per bin: Gxy (re, im), Gxx, Gyy, and for the polar means the
  // weighted dB sum and the weights.
  std::vector<double> sxyRe_, sxyIm_, sxx_, syy_, sdb_, sw_;
  int averaged_ = 0;
  double weight_ = 0.0;  // sum of the block weights (exponential: decayed)
  int64_t refused_ = 0;
  // The last Blocks blocks' spectra (Last), in single precision, oldest first from ringNext_.
  std::vector<float> ring_;
  int ringCount_ = 0;
  int ringNext_ = 0;
  // Scratch for one block.
  std::vector<double> xr_, xi_, yr_, yi_;
  std::vector<double> old_;                // a stored block taken out (Last)
  std::vector<double> gr_, gi_, gx_, gy_;  // one block's spectra (coherence-weighted)
};
