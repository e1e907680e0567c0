// A sound level meter on one channel of an (already frequency-weighted) sample stream:
// exponential time weighting F and S, Leq over the run and over a chosen interval, Lmax, Lmin
// and the peak.
#pragma once

#include <cstdint>

enum class TimeWeighting { Fast, Slow };
// Time constants in seconds.
inline constexpr double kTauFast = 0.125;
inline constexpr double kTauSlow = 1.0;
// Samples are in the 16-bit scale: a sine of amplitude 32768 reads 0.0 dB(FS).
inline constexpr double kFullScale = 32768.0;
// Mean square that reads 0 dB: that of the full-scale sine.
inline constexpr double kFullScaleMeanSquare = kFullScale * kFullScale / 2.0;

// 10 lg(meanSquare / kFullScaleMeanSquare); minus infinity for zero.
double MeanSquareDb(double meanSquare);

// Every level is in dB relative to full scale plus the offset (SetOffsetDb: dBFS -> dB SPL).
// Levels without any sample yet, or of silence, are minus infinity. Not thread-safe: the
// thread that processes reads it too, or callers copy the numbers out under their own lock.
class SoundLevelMeter {
 public:
  explicit SoundLevelMeter(double rate = 48000.0);

  double Rate() const { return rate_; }

  // n samples, `stride` apart (2 for one channel of interleaved stereo).
  void Process(const double* samples, int n, int stride = 1);
  // Starts everything afresh: time-weighted levels from silence, Leq, Lmax, Lmin, peak and
  // the interval.
  void Reset();
  // Leq, Lmax, Lmin, the peak and the interval start again; the time-weighted levels keep
  // running (a "Reset" during a run, without the rise from silence).
  void ResetStatistics();

  // Offset in dB added to every level read (0 by default: dBFS).
  void SetOffsetDb(double offsetDb) { offset_ = offsetDb; }
  double OffsetDb() const { return offset_; }

  // The current F or S time-weighted level.
  double LevelDb(TimeWeighting weighting) const;
  // Largest and smallest time-weighted level since Reset. Lmin starts counting once the
  // time weighting has settled (after 7 time constants, within 0.004 dB), so that the rise from
  // silence at the start does not count.
  double LmaxDb(TimeWeighting weighting) const;
  double LminDb(TimeWeighting weighting) const;
  // Largest magnitude since Reset, as 20 lg(|x| / (32768 / sqrt 2)): on the same scale as the
  // levels, so a full-scale sine's peak reads +3.01 dB.
  double PeakDb() const;

  // Leq since Reset, and the duration it covers (s).
  double LeqDb() const;
  double Seconds() const { return static_cast<double>(count_) / rate_; }

  // Leq over consecutive intervals of `seconds` (clamped to 1 s .. 3600 s; default 1 s). The
  // running interval restarts when it is full; setting the length restarts it too.
  void SetIntervalSeconds(double seconds);
  double IntervalSeconds() const { return static_cast<double>(intervalLength_) / rate_; }
  // Leq of the running interval so far and its elapsed time (s).
  double IntervalLeqDb() const;
  double IntervalElapsed() const { return static_cast<double>(intervalCount_) / rate_; }
  // Leq of the last complete interval; minus infinity before the first one ends.
  double LastIntervalLeqDb() const;
  // How many intervals have completed since Reset.
  std::int64_t CompletedIntervals() const { return completed_; }

 private:
  double Level(double meanSquare) const;

  double rate_;
  double offset_ = 0.0;
  double coefFast_, coefSlow_;
  double fast_ = 0.0, slow_ = 0.0;
  double maxFast_ = 0.0, maxSlow_ = 0.0;
  double minFast_ = -1.0, minSlow_ = -1.0;  // negative: none yet
  std::int64_t running_ = 0;                // samples since the time weighting started
  double peak_ = 0.0;
  double sum_ = 0.0;
  std::int64_t count_ = 0;
  std::int64_t intervalLength_;
  double intervalSum_ = 0.0;
  std::int64_t intervalCount_ = 0;
  double lastInterval_ = -1.0;  // negative: none complete yet
  std::int64_t completed_ = 0;
};
