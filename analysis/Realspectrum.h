// The complex spectrum of one real block (bins 0..N/2) and its way back, on the FFT engine:
// what the two-channel measurements need beyond the engine's magnitudes.
#pragma once

#include <vector>

#include "Fft.h"

class RealSpectrum {
 public:
  // length: a power of two from 16 on; window: an FFTWindow.
  RealSpectrum(int length, int window);

  int Length() const { return length_; }
  int Bins() const { return length_ / 2 + 1; }
  // The window's values, as the engine makes them.
  const double* Window() const { return fft_.WindowTable.data(); }

  // samples[0..N-1] windowed and transformed into re/im[0..N/2]. False (re/im then undefined)
  // when a sample is not finite or the block overflows: such a block must not be averaged.
  bool Forward(const double* samples, double* re, double* im);
  // The same without the window (a block windowed already).
  bool ForwardUnwindowed(const double* samples, double* re, double* im);
  // The real sequence x[0..N-1] = (1/N) sum over every bin of H[k] e^(+j 2 pi k n / N), where
  // H is re/im[0..N/2] extended by H[N-k] = conj(H[k]).
  void Inverse(const double* re, const double* im, double* out);

 private:
  bool Transform(const double* samples, const double* window, double* re, double* im);

  int length_;
  FFT fft_;
};
