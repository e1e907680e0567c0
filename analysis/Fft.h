// Radix-2 FFT engine with window functions: one block of one channel in, normalised
// magnitudes of bins 0..N/2-1 out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// Arrays start on a cache line, so that no vector load of the butterflies straddles two.
template <typename T>
struct CacheAligned {
  using value_type = T;
  CacheAligned() = default;
  template <typename U>
  CacheAligned(const CacheAligned<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, size_t) { ::operator delete(p, kAlign); }
  template <typename U>
  bool operator==(const CacheAligned<U>&) const {
    return true;
  }

 private:
  static constexpr std::align_val_t kAlign{64};
};
using FFTArray = std::vector<double, CacheAligned<double>>;

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

  // Runs one block through the engine (same results as the one-block constructor). From 16
  // points on it goes from the samples to the spectrum directly, without filling Input and
  // WeightedRe (the one-block constructor and the step-by-step calls below still do).
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

  // Window, butterflies and magnitudes run four lanes wide (AVX2) where the processor has it,
  // otherwise two wide (SSE2) or one; every path performs the same operations in the same
  // order, so all give the same bits. SetWide(false) keeps an engine on the narrow path (the
  // tests compare both); SetWide(true) has no effect without AVX2.
  static bool WideAvailable();
  void SetWide(bool wide);
  bool Wide() const { return wide_; }

  uint32_t Length;
  FFTArray Input;
  FFTArray WindowTable;
  FFTArray WeightedRe;
  FFTArray WeightedIm;
  FFTArray SpectrumRe;
  FFTArray SpectrumIm;
  FFTArray Levels;

 private:
  void MakeTables();
  // The butterflies from in: the samples (windowed: the window is applied on the way) or a
  // windowed block.
  void TransformFrom(const double* in, bool windowed);

  // Source index of every position of one cache block after the bit-reversed reordering.
  std::vector<uint32_t> reversed_;
  // The windowed block as one sequence per cache block (more than one block only).
  FFTArray split_;
  uint32_t splitStride_ = 0;
  // Twiddle factors as the per-stage recurrence yields them; the stage with half-length h
  // occupies [h-1, 2h-1).
  FFTArray twiddleRe_;
  FFTArray twiddleIm_;
  bool wide_ = false;
  int windowType_ = -1;
  double windowPower_ = 1.0;
};
