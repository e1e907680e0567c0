// Radix-2 FFT engine with window functions: one block of one channel in, normalised
// magnitudes of bins 0..N/2-1 out.
#pragma once

#include <cstdint>
#include <vector>

// Window types, in the order of the main window's window list.
enum FFTWindow : int {
  WindowHanning = 0,
  WindowHamming = 1,
  WindowBlackman = 2,
  WindowBlackmanHarris = 3,
  WindowRectangular = 4
};

class FFT {
 public:
  // One block: window, transform and magnitudes, done when the constructor returns.
  // Length must be a non-zero power of two, samples Length raw 16-bit values as doubles,
  // windowType 0..4.
  FFT(uint32_t length, const double* samples, int windowType);
  // An engine for repeated blocks of one length: tables and arrays are made once here and
  // reused by every Process call. Each result depends on its own block alone.
  explicit FFT(uint32_t length);

  // Runs one block through the engine (same steps as the one-block constructor).
  void Process(const double* samples, int windowType);
  // Copies Levels[0..count-1]; count is at most Length/2.
  void CopyLevels(double* destination, int count) const;

  void MakeWindow(int windowType);
  double WindowPower() const;
  void ApplyWindow();
  void Transform();
  void ComputeLevels();
  static uint32_t LowestBit(uint32_t n);
  static uint32_t ReverseBits(uint32_t index, uint32_t bits);

  uint32_t Length;
  std::vector<double> Input;
  std::vector<double> WindowTable;
  std::vector<double> WeightedRe;
  std::vector<double> WeightedIm;
  std::vector<double> SpectrumRe;
  std::vector<double> SpectrumIm;
  std::vector<double> Levels;

 private:
  void MakeTables();

  // Source index of every position after the bit-reversed reordering.
  std::vector<uint32_t> reversed_;
  // Twiddle factors as the per-stage recurrence yields them; the stage with half-length h
  // occupies [h-1, 2h-1).
  std::vector<double> twiddleRe_;
  std::vector<double> twiddleIm_;
  int windowType_ = -1;
  double windowPower_ = 1.0;
};
