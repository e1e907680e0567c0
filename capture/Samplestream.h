// Every sample a source records during a run, in order and without the gaps between blocks,
// for the meters that need them all (filter banks, time-weighted levels, Leq).
#pragma once

#include <cstdint>

class SampleStream {
 public:
  virtual ~SampleStream() = default;
  // On the recording thread, so it must not block: `frames` frames of `channels` (1 or 2)
  // interleaved samples in the live path's 16-bit scale (full scale is 32768) at `rate` Hz.
  virtual void Samples(const double* samples, int frames, int channels, int rate) = 0;
  // Samples were lost (an overrun, a restart, a change of input): what follows does not
  // continue what came before.
  virtual void Gap() {}
};
