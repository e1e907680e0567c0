// Pink noise, equal power in every octave: a random stream for listening and live measurement,
// and a periodic one whose every FFT bin lies exactly on the pink curve.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

// White noise of unit RMS whose samples never pass kNoiseCrest: a Gaussian redrawn beyond that
// bound (the samples stay independent, so the spectrum stays white).
class BoundedWhite {
 public:
  explicit BoundedWhite(uint64_t seed);
  double Next();

 private:
  std::mt19937_64 random_;
  std::normal_distribution<double> gauss_;
  double norm_;
};

// The highest peak of the random noises, in units of their RMS (14 dB).
inline constexpr double kNoiseCrest = 5.0;

// White noise through a cascade of first-order pole-zero sections, fitted at construction to
// -3 dB per octave from 10 Hz to 20 kHz (or 0.42 x rate, if lower); below 10 Hz a high-pass
// takes the infrasound away (-3 dB at about 5 Hz, nothing at DC). The sections keep
// their state from one call to the next: the slope holds at the low end however the stream
// is cut into blocks.
class PinkFilter {
 public:
  explicit PinkFilter(int rate);
  // One sample of pink noise of unit RMS for unit-RMS white input.
  double Process(double white);

 private:
  std::vector<double> pole_, zero_, state_;
  double gain_ = 1.0;
};

// Random pink noise of unit RMS with its peaks held to kNoiseCrest. Rare peaks beyond it are
// taken down by a smooth 1 ms gain dip that is already in place when the peak comes (the
// output lags by 1 ms): the crest is bounded by design, without clipping.
class PinkNoise {
 public:
  PinkNoise(int rate, uint64_t seed);
  void Fill(double* out, int frames);

 private:
  double Push(double x);

  BoundedWhite white_;
  PinkFilter filter_;
  int lookahead_;
  // Ring buffers of the delayed input and of the gain each delayed sample gets.
  std::vector<double> delayed_, gain_;
  size_t at_ = 0;
};

// One period of pink noise of `length` samples (a power of two, the FFT length it is for):
// every bin from 10 Hz up to below half the rate has the power of the pink curve at its
// frequency, with a random phase; DC and the bins below 10 Hz are empty. The phases are then
// drawn towards a low crest factor (clipping and restoring the magnitudes, a few rounds), so
// the period plays louder within full scale; the magnitudes stay exact. Unit RMS.
std::vector<double> PeriodicPink(int length, int rate, uint64_t seed);
