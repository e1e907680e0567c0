#include "Spectrumcore.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

Spectrumcore::Spectrumcore(int length, int channels, int averages, bool maxHold)
    : length_(length),
      channels_(channels),
      averages_(averages),
      maxHold_(maxHold),
      bins_(length / 2) {
  const size_t h = static_cast<size_t>(bins_);
  for (int c = 0; c < channels_; ++c) {
    Channel& ch = chan_[c];
    ch.engine = std::make_unique<FFT>(static_cast<uint32_t>(length_));
    ch.level.assign(h, 0.0);
    ch.magnitude.assign(h, 0.0);
    if (averages_ > 1) ch.history.assign(h * static_cast<size_t>(averages_), 0.0);
    if (averages_ == 0) ch.history.assign(h, 0.0);
    if (maxHold_) {
      ch.maxLevel.assign(h, MaxHoldFloor);
      ch.maxMagnitude.assign(h, 0.0);
    }
  }
  frequency_.assign(h, 0.0);
}

double Spectrumcore::LevelOf(double magnitude, double corrFactor) {
  const double m = magnitude > 0.0 ? magnitude : MagnitudeFloor;
  return 20.0 * std::log10(m) + corrFactor;
}

// Transforms one channel's block into its history; with formMean its (averaged) magnitudes
// are left in c.magnitude.
void Spectrumcore::Average(Channel& c, const double* samples, int windowType, bool formMean) {
  c.engine->Process(samples, windowType);
  const int h = bins_;
  if (averages_ == 1) {
    if (formMean) c.engine->CopyLevels(c.magnitude.data(), h);
    return;
  }
  if (averages_ == 0) {
    const double* m = c.engine->Levels.data();
    for (int k = 0; k < h; ++k)
      c.history[k] += m[k];
    if (formMean) FormMean(c, blocks_ + 1);
    return;
  }
  c.engine->CopyLevels(c.history.data() + static_cast<size_t>(historyIndex_) * h, h);
  if (formMean) FormMean(c, blocks_ + 1);
}

void Spectrumcore::FormMean(Channel& c, long blocks) {
  const int h = bins_;
  if (averages_ == 1) {
    c.engine->CopyLevels(c.magnitude.data(), h);
  } else if (averages_ == 0) {
    const double count = static_cast<double>(blocks);
    for (int k = 0; k < h; ++k)
      c.magnitude[k] = c.history[k] / count;
  } else {
    for (int k = 0; k < h; ++k) {
      double sum = 0.0;
      for (int s = 0; s < averages_; ++s)
        sum += c.history[static_cast<size_t>(s) * h + k];
      c.magnitude[k] = sum / averages_;
    }
  }
}

void Spectrumcore::Process(const double* const* samples, int windowType, double corrFactor,
                           double samplingRate, double fftLength) {
  if (averages_ > 1) historyIndex_ = (historyIndex_ + 1) % averages_;
  for (int c = 0; c < channels_; ++c) {
    Channel& ch = chan_[c];
    Average(ch, samples[c], windowType, true);
    for (int k = 0; k < bins_; ++k) {
      ch.level[k] = LevelOf(ch.magnitude[k], corrFactor);
      if (maxHold_ && ch.level[k] > ch.maxLevel[k]) ch.maxLevel[k] = ch.level[k];
    }
  }
  ++blocks_;
  for (int k = 0; k < bins_; ++k)
    frequency_[k] = k * (samplingRate / fftLength);
}

void Spectrumcore::Accumulate(const double* const* samples, int windowType, double corrFactor) {
  if (averages_ > 1) historyIndex_ = (historyIndex_ + 1) % averages_;
  // For averaging every block the trace to hold is each block's own, as with one average.
  const bool ownBlock = averages_ == 0;
  for (int c = 0; c < channels_; ++c) {
    Channel& ch = chan_[c];
    Average(ch, samples[c], windowType, maxHold_ && !ownBlock);
    if (!maxHold_) continue;
    const double* m = ownBlock ? ch.engine->Levels.data() : ch.magnitude.data();
    for (int k = 0; k < bins_; ++k) {
      // A magnitude this far below one already compared has a level below that one's, with a
      // margin a million times any rounding of log10: only the rest needs its level formed.
      // The maxima are then exactly those of comparing every level.
      if (m[k] < ch.maxMagnitude[k] * (1.0 - 1e-9)) continue;
      const double level = LevelOf(m[k], corrFactor);
      if (level > ch.maxLevel[k]) ch.maxLevel[k] = level;
      if (m[k] > ch.maxMagnitude[k]) ch.maxMagnitude[k] = m[k];
    }
  }
  ++blocks_;
}

void Spectrumcore::FormLevels(double corrFactor, double samplingRate, double fftLength) {
  for (int c = 0; c < channels_; ++c) {
    Channel& ch = chan_[c];
    if (blocks_ > 0) FormMean(ch, blocks_);
    for (int k = 0; k < bins_; ++k)
      ch.level[k] = LevelOf(ch.magnitude[k], corrFactor);
  }
  for (int k = 0; k < bins_; ++k)
    frequency_[k] = k * (samplingRate / fftLength);
}
