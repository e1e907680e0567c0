// The per-block maths of the spectrum worker, shared by the window and the command-line
// analyser so that both give the same numbers bit for bit: each channel's magnitudes, the
// moving mean over the last blocks, levels with the correction, maximum hold and the bin
// frequencies.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "Fft.h"

class Spectrumcore {
 public:
  static constexpr double MaxHoldFloor = -150.0;
  // A magnitude not above 0 reads as this one (-220 dB).
  static constexpr double MagnitudeFloor = 1e-11;

  // A run of blocks of `length` samples per channel (a power of two), 1 or 2 channels.
  // averages >= 1: the moving mean over the last `averages` blocks, the slots not yet filled
  // counting as 0; averages == 0: the mean over every block so far. maxHold keeps the highest
  // level of each bin from MaxHoldFloor up.
  Spectrumcore(int length, int channels, int averages, bool maxHold);

  // Whether blocks of this length and channel count continue this run.
  bool Fits(int length, int channels) const { return length == length_ && channels == channels_; }

  // One block as the worker shows it: samples[c] holds `length` raw values of channel c.
  // Frequencies are k * (samplingRate / fftLength).
  void Process(const double* const* samples, int windowType, double corrFactor, double samplingRate,
               double fftLength);

  // A block of a batch run that needs the levels only at its end: magnitudes and maximum hold
  // as Process computes them (the same maxima bit for bit), levels left unformed. Call
  // FormLevels once after the last block.
  void Accumulate(const double* const* samples, int windowType, double corrFactor);
  void FormLevels(double corrFactor, double samplingRate, double fftLength);

  // 20*log10(m) + corrFactor, m not above 0 taken as MagnitudeFloor.
  static double LevelOf(double magnitude, double corrFactor);

  int Length() const { return length_; }
  int Channels() const { return channels_; }
  int Bins() const { return bins_; }
  long Blocks() const { return blocks_; }
  bool MaxHold() const { return maxHold_; }
  // Results of the last block (or of FormLevels), bins values each, channel 0 or 1.
  std::span<const double> Level(int channel) const { return Span(chan_[channel].level); }
  // Linear magnitudes (averaged), without the correction.
  std::span<const double> Magnitude(int channel) const { return Span(chan_[channel].magnitude); }
  // The last block's own magnitudes, before any averaging and without the correction.
  std::span<const double> BlockMagnitude(int channel) const {
    return {chan_[channel].engine->Levels.data(), static_cast<size_t>(bins_)};
  }
  // Empty without maximum hold.
  std::span<const double> MaxLevel(int channel) const { return Span(chan_[channel].maxLevel); }
  std::span<const double> Frequency() const { return Span(frequency_); }

 private:
  struct Channel {
    std::unique_ptr<FFT> engine;
    std::vector<double> level, magnitude;
    // Averages slots of bins magnitudes each; or, averaging every block, their running sum.
    std::vector<double> history;
    std::vector<double> maxLevel;
    // The largest magnitude whose level was compared with maxLevel (Accumulate only).
    std::vector<double> maxMagnitude;
  };
  static std::span<const double> Span(const std::vector<double>& v) { return {v.data(), v.size()}; }
  void Average(Channel& c, const double* samples, int windowType, bool formMean);
  void FormMean(Channel& c, long blocks);

  int length_;
  int channels_;
  int averages_;
  bool maxHold_;
  int bins_;
  int historyIndex_ = 0;
  long blocks_ = 0;
  Channel chan_[2];
  std::vector<double> frequency_;
};
