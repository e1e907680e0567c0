#include "Fft.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSampleScale = 1.0 / 32768.0;

// Doubles processed side by side; element-wise IEEE arithmetic, so each lane gives exactly the
// scalar result. The kernels below are templates over the width and are inlined into one entry
// point per width, so that the wide one is compiled for AVX2 (never FMA) as a whole.
typedef double V2 __attribute__((vector_size(16)));
#if defined(__x86_64__) || defined(__i386__)
#define TONVISTA_FFT_AVX2 1
typedef double V4 __attribute__((vector_size(32)));
#endif

#define FFT_KERNEL inline __attribute__((always_inline))

template <typename V>
FFT_KERNEL V Load(const double* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
template <typename V>
FFT_KERNEL void Store(double* p, V v) {
  __builtin_memcpy(p, &v, sizeof v);
}
template <typename V>
FFT_KERNEL V Splat(double x) {
  V v;
  for (size_t l = 0; l < sizeof(V) / sizeof(double); ++l)
    v[l] = x;
  return v;
}

FFT_KERNEL V2 Sqrt(V2 v) {
#ifdef __SSE2__
  return _mm_sqrt_pd(v);
#else
  return V2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// Stores four groups of four (a holds every group's element 0, b element 1, ...) group after
// group: a 4 x 4 transpose for four lanes, two 2 x 4 ones for two.
FFT_KERNEL void StoreGroups(double* o, V2 a, V2 b, V2 c, V2 d) {
  Store(o, __builtin_shufflevector(a, b, 0, 2));
  Store(o + 2, __builtin_shufflevector(c, d, 0, 2));
  Store(o + 4, __builtin_shufflevector(a, b, 1, 3));
  Store(o + 6, __builtin_shufflevector(c, d, 1, 3));
}

#ifdef TONVISTA_FFT_AVX2
__attribute__((target("avx2"))) inline V4 Sqrt(V4 v) {
  return _mm256_sqrt_pd(v);
}
__attribute__((target("avx2"))) inline void StoreGroups(double* o, V4 a, V4 b, V4 c, V4 d) {
  const V4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const V4 t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const V4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const V4 t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  Store(o, __builtin_shufflevector(t0, t2, 0, 1, 4, 5));
  Store(o + 4, __builtin_shufflevector(t1, t3, 0, 1, 4, 5));
  Store(o + 8, __builtin_shufflevector(t0, t2, 2, 3, 6, 7));
  Store(o + 12, __builtin_shufflevector(t1, t3, 2, 3, 6, 7));
}
#endif

// One radix-2 butterfly on (j, m) with the twiddle (ar, ai).
template <typename T>
FFT_KERNEL void Butterfly(T& rj, T& ij, T& rm, T& im, T ar, T ai) {
  const T tr = ar * rm - ai * im;
  const T ti = ar * im + ai * rm;
  rm = rj - tr;
  im = ij - ti;
  rj = rj + tr;
  ij = ij + ti;
}

// Butterflies of different groups touch different elements, so the order in which they run
// does not change any result; only each butterfly's own arithmetic has to stay as it is.

// One stage with half-length h.
template <typename V>
FFT_KERNEL void SingleStage(double* re, double* im, uint32_t n, uint32_t h, const double* wr,
                            const double* wi) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  for (uint32_t g = 0; g < n; g += 2 * h) {
    double* r0 = re + g;
    double* i0 = im + g;
    double* r1 = re + g + h;
    double* i1 = im + g + h;
    uint32_t k = 0;
    for (; k + kW <= h; k += kW) {
      V a = Load<V>(r0 + k), b = Load<V>(i0 + k), c = Load<V>(r1 + k), d = Load<V>(i1 + k);
      Butterfly(a, b, c, d, Load<V>(wr + k), Load<V>(wi + k));
      Store(r0 + k, a);
      Store(i0 + k, b);
      Store(r1 + k, c);
      Store(i1 + k, d);
    }
    for (; k < h; ++k)
      Butterfly(r0[k], i0[k], r1[k], i1[k], wr[k], wi[k]);
  }
}

// Stages h and 2h (h a multiple of the width) in one pass over memory: the elements a, a+h,
// a+2h, a+3h go through both stages in registers. Only the offsets k in [from, from + count)
// of every stride-long stretch of [0, h) are done, so that a caller can run the late stages
// column by column.
template <typename V>
FFT_KERNEL void FusedStages(double* re, double* im, uint32_t n, uint32_t h, const double* w1r,
                            const double* w1i, const double* w2r, const double* w2i,
                            uint32_t stride, uint32_t from, uint32_t count) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  for (uint32_t g = 0; g < n; g += 4 * h) {
    double* ra = re + g;
    double* ia = im + g;
    double* rb = ra + h;
    double* ib = ia + h;
    double* rc = rb + h;
    double* ic = ib + h;
    double* rd = rc + h;
    double* id = ic + h;
    for (uint32_t s = from; s < h; s += stride)
      for (uint32_t k = s; k < s + count; k += kW) {
        V ar = Load<V>(ra + k), ai = Load<V>(ia + k), br = Load<V>(rb + k), bi = Load<V>(ib + k);
        V cr = Load<V>(rc + k), ci = Load<V>(ic + k), dr = Load<V>(rd + k), di = Load<V>(id + k);
        const V t1r = Load<V>(w1r + k), t1i = Load<V>(w1i + k);
        Butterfly(ar, ai, br, bi, t1r, t1i);
        Butterfly(cr, ci, dr, di, t1r, t1i);
        Butterfly(ar, ai, cr, ci, Load<V>(w2r + k), Load<V>(w2i + k));
        Butterfly(br, bi, dr, di, Load<V>(w2r + k + h), Load<V>(w2i + k + h));
        Store(ra + k, ar);
        Store(ia + k, ai);
        Store(rb + k, br);
        Store(ib + k, bi);
        Store(rc + k, cr);
        Store(ic + k, ci);
        Store(rd + k, dr);
        Store(id + k, di);
      }
  }
}

// The bit-reversed reordering of positions [base, base+len) together with the first two
// stages (half-lengths 1 and 2), one group of four per lane; len is a multiple of 4 lanes.
// The imaginary input is all zero, so zeros are used instead of gathering them.
template <typename V>
FFT_KERNEL void GatherFirstStages(double* re, double* im, const double* wre, const uint32_t* rev,
                                  uint32_t base, uint32_t len, const double* tr, const double* ti) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  const V w1r = Splat<V>(tr[0]), w1i = Splat<V>(ti[0]);
  const V w20r = Splat<V>(tr[1]), w20i = Splat<V>(ti[1]);
  const V w21r = Splat<V>(tr[2]), w21i = Splat<V>(ti[2]);
  const V zero = Splat<V>(0.0);
  for (uint32_t i = base; i < base + len; i += 4 * kW) {
    const uint32_t* r = rev + i;
    V ar = zero, br = zero, cr = zero, dr = zero;  // every lane is set below; quiets -O2
    for (uint32_t l = 0; l < kW; ++l) {
      ar[l] = wre[r[4 * l]];
      br[l] = wre[r[4 * l + 1]];
      cr[l] = wre[r[4 * l + 2]];
      dr[l] = wre[r[4 * l + 3]];
    }
    V ai = zero, bi = zero, ci = zero, di = zero;
    Butterfly(ar, ai, br, bi, w1r, w1i);
    Butterfly(cr, ci, dr, di, w1r, w1i);
    Butterfly(ar, ai, cr, ci, w20r, w20i);
    Butterfly(br, bi, dr, di, w21r, w21i);
    StoreGroups(re + i, ar, br, cr, dr);
    StoreGroups(im + i, ai, bi, ci, di);
  }
}

// Runs the stages with half-lengths from `half` up to below `end` over [0, n).
template <typename V>
FFT_KERNEL void RunStages(double* re, double* im, uint32_t n, uint32_t half, uint32_t end,
                          const double* tr, const double* ti) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  while (half < end) {
    if (half < kW || 4 * half > end) {
      SingleStage<V>(re, im, n, half, tr + half - 1, ti + half - 1);
      half *= 2;
    } else {
      FusedStages<V>(re, im, n, half, tr + half - 1, ti + half - 1, tr + 2 * half - 1,
                     ti + 2 * half - 1, half, 0, half);
      half *= 4;
    }
  }
}

// Stages up to this span run block by block, so each block and its twiddles stay in the
// first-level cache.
constexpr uint32_t kCacheBlock = 1024;
// The later stages run on this many columns of every block at a time, so that all their
// passes but the first find the data in the first-level cache.
constexpr uint32_t kColumns = 64;
// Between the split sequences, so that they do not all fall into the same cache sets.
constexpr uint32_t kSplitPad = 8;
// Rows of the block taken at a time by the split: few enough for them to stay in the
// first-level cache while every sequence gets its part.
constexpr uint32_t kSplitRows = 16;

template <typename V>
FFT_KERNEL void Transpose(V (&v)[sizeof(V) / sizeof(double)]) {
  if constexpr (sizeof(V) == 16) {
    const V a = __builtin_shufflevector(v[0], v[1], 0, 2);
    const V b = __builtin_shufflevector(v[0], v[1], 1, 3);
    v[0] = a;
    v[1] = b;
  } else {
    const V t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
    const V t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
    const V t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
    const V t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
  }
}

// The block as `parts` interleaved sequences, out[c * stride + m] = x[m * parts + c], x being
// in[i] * kSampleScale * w[i] (windowed) or in[i]. In bit-reversed order, the positions one
// block of the transform gathers from are those of one sequence, which then fits in the
// first-level cache; gathered from the whole block instead, nearly every read would miss it.
template <typename V, bool kWindowed>
FFT_KERNEL void SplitWith(double* __restrict out, const double* __restrict in,
                          const double* __restrict w, uint32_t n, uint32_t parts, uint32_t stride) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  const uint32_t len = n / parts;
  const V scale = Splat<V>(kSampleScale);
  if constexpr (kW > 2)
    if (parts == 2) return SplitWith<V2, kWindowed>(out, in, w, n, parts, stride);
  if (parts % kW != 0 || len % kSplitRows != 0) {
    for (uint32_t m = 0; m < len; ++m)
      for (uint32_t c = 0; c < parts; ++c) {
        const uint32_t i = m * parts + c;
        out[c * stride + m] = kWindowed ? in[i] * kSampleScale * w[i] : in[i];
      }
    return;
  }
  for (uint32_t m0 = 0; m0 < len; m0 += kSplitRows)
    for (uint32_t c = 0; c < parts; c += kW)
      for (uint32_t m = m0; m < m0 + kSplitRows; m += kW) {
        V v[kW];
        for (uint32_t l = 0; l < kW; ++l) {
          const uint32_t i = (m + l) * parts + c;
          v[l] = kWindowed ? Load<V>(in + i) * scale * Load<V>(w + i) : Load<V>(in + i);
        }
        Transpose<V>(v);
        for (uint32_t l = 0; l < kW; ++l)
          Store(out + (c + l) * stride + m, v[l]);
      }
}

// src: the windowed block itself (one block) or split into one sequence per block (SplitWith);
// rev: the bit reversal within a block.
template <typename V>
FFT_KERNEL void TransformWith(double* re, double* im, const double* src, uint32_t stride,
                              const uint32_t* rev, uint32_t n, const double* tr, const double* ti) {
  // Gathering reads scattered but writes in order, which the cache handles far better than
  // scattered writes at power-of-two strides. The early stages only combine elements inside
  // one block, so a block can run them all at once. Position base + j of the reordered block
  // comes from rev[j] * parts + reverse(base / block), that is element rev[j] of one sequence.
  const uint32_t block = std::min(n, kCacheBlock);
  const uint32_t parts = n / block;
  const uint32_t partBits = parts > 1 ? FFT::LowestBit(parts) : 0;
  for (uint32_t b = 0; b < parts; ++b) {
    const uint32_t base = b * block;
    GatherFirstStages<V>(re + base, im + base, src + FFT::ReverseBits(b, partBits) * stride, rev, 0,
                         block, tr, ti);
    RunStages<V>(re + base, im + base, block, 4, block, tr, ti);
  }
  if (block == n) return;
  // The later stages combine the same column of different blocks: column by column, every
  // stage pair after the first finds its elements in the cache.
  uint32_t last = block;
  while (4 * last <= n)
    last *= 4;
  for (uint32_t from = 0; from < block; from += kColumns)
    for (uint32_t h = block; h < last; h *= 4)
      FusedStages<V>(re, im, n, h, tr + h - 1, ti + h - 1, tr + 2 * h - 1, ti + 2 * h - 1, block,
                     from, kColumns);
  // A single stage left over (an odd count of doubling steps) runs on its own.
  if (last < n) SingleStage<V>(re, im, n, last, tr + last - 1, ti + last - 1);
}

template <typename V>
FFT_KERNEL void WindowWith(double* __restrict out, const double* __restrict in,
                           const double* __restrict w, uint32_t n) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  const V scale = Splat<V>(kSampleScale);
  uint32_t i = 0;
  for (; i + kW <= n; i += kW)
    Store(out + i, Load<V>(in + i) * scale * Load<V>(w + i));
  for (; i < n; ++i)
    out[i] = in[i] * kSampleScale * w[i];
}

template <typename V>
FFT_KERNEL void LevelsWith(double* __restrict out, const double* __restrict re,
                           const double* __restrict im, uint32_t h, double scale) {
  constexpr uint32_t kW = sizeof(V) / sizeof(double);
  const V s = Splat<V>(scale);
  uint32_t k = 0;
  for (; k + kW <= h; k += kW) {
    const V r = Load<V>(re + k), i = Load<V>(im + k);
    V p = (r * r + i * i) / s;
    // Only a NaN fails p >= 0.
    p = p >= 0.0 ? p : Splat<V>(1e-12);
    Store(out + k, Sqrt(p));
  }
  for (; k < h; ++k) {
    double p = (re[k] * re[k] + im[k] * im[k]) / scale;
    if (!(p >= 0.0)) p = 1e-12;
    out[k] = std::sqrt(p);
  }
}

void TransformNarrow(double* re, double* im, const double* src, uint32_t stride,
                     const uint32_t* rev, uint32_t n, const double* tr, const double* ti) {
  TransformWith<V2>(re, im, src, stride, rev, n, tr, ti);
}
void SplitNarrow(double* out, const double* in, const double* w, uint32_t n, uint32_t parts,
                 uint32_t stride, bool windowed) {
  if (windowed) return SplitWith<V2, true>(out, in, w, n, parts, stride);
  SplitWith<V2, false>(out, in, w, n, parts, stride);
}
void WindowNarrow(double* out, const double* in, const double* w, uint32_t n) {
  WindowWith<V2>(out, in, w, n);
}
void LevelsNarrow(double* out, const double* re, const double* im, uint32_t h, double scale) {
  LevelsWith<V2>(out, re, im, h, scale);
}

#ifdef TONVISTA_FFT_AVX2
__attribute__((target("avx2"), flatten)) void TransformWide(double* re, double* im,
                                                            const double* src, uint32_t stride,
                                                            const uint32_t* rev, uint32_t n,
                                                            const double* tr, const double* ti) {
  TransformWith<V4>(re, im, src, stride, rev, n, tr, ti);
}
__attribute__((target("avx2"), flatten)) void SplitWide(double* out, const double* in,
                                                        const double* w, uint32_t n, uint32_t parts,
                                                        uint32_t stride, bool windowed) {
  if (windowed) return SplitWith<V4, true>(out, in, w, n, parts, stride);
  SplitWith<V4, false>(out, in, w, n, parts, stride);
}
__attribute__((target("avx2"), flatten)) void WindowWide(double* out, const double* in,
                                                         const double* w, uint32_t n) {
  WindowWith<V4>(out, in, w, n);
}
__attribute__((target("avx2"), flatten)) void LevelsWide(double* out, const double* re,
                                                         const double* im, uint32_t h,
                                                         double scale) {
  LevelsWith<V4>(out, re, im, h, scale);
}
#endif

// The wide gather takes sixteen positions at a time.
constexpr uint32_t kWideMinimum = 16;

}  // namespace

FFT::FFT(uint32_t length)
    : Length(length),
      Input(length),
      WindowTable(length),
      WeightedRe(length),
      WeightedIm(length),
      SpectrumRe(length),
      SpectrumIm(length),
      Levels(length),
      wide_(WideAvailable()) {
  MakeTables();
}

FFT::FFT(uint32_t length, const double* samples, int windowType) : FFT(length) {
  Process(samples, windowType);
  // A one-block FFT leaves every array as its steps fill them, for callers that read them.
  if (Length >= kWideMinimum) {
    std::memcpy(Input.data(), samples, sizeof(double) * Length);
    ApplyWindow();
  }
}

void FFT::Process(const double* samples, int windowType) {
  if (windowType != windowType_) MakeWindow(windowType);
  if (Length < kWideMinimum) {
    std::memcpy(Input.data(), samples, sizeof(double) * Length);
    ApplyWindow();
    Transform();
  } else {
    // Straight from the samples: the window is applied as the block is split (or into
    // WeightedRe for a single block), which saves a pass over the block.
    TransformFrom(samples, true);
  }
  ComputeLevels();
}

void FFT::CopyLevels(double* destination, int count) const {
  std::memcpy(destination, Levels.data(), sizeof(double) * static_cast<size_t>(count));
}

void FFT::MakeTables() {
  const uint32_t block = std::min(Length, kCacheBlock);
  const uint32_t bits = block > 1 ? LowestBit(block) : 0;
  reversed_.resize(block);
  for (uint32_t i = 0; i < block; ++i)
    reversed_[i] = ReverseBits(i, bits);
  const uint32_t parts = Length / block;
  splitStride_ = parts > 1 ? block + kSplitPad : block;
  split_.assign(parts > 1 ? static_cast<size_t>(parts) * splitStride_ : 0, 0.0);

  // The recurrence restarts identically in every group of a stage, so running it once per
  // stage gives every value the butterflies would compute.
  twiddleRe_.assign(Length > 1 ? Length - 1 : 0, 0.0);
  twiddleIm_.assign(twiddleRe_.size(), 0.0);
  for (uint32_t half = 1, span = 2; span <= Length; half = span, span *= 2) {
    const double delta = kTwoPi / span;
    const double cm2 = std::cos(-2.0 * delta);
    const double cm1 = std::cos(-delta);
    const double sm2 = std::sin(-2.0 * delta);
    const double sm1 = std::sin(-delta);
    const double w = 2.0 * cm1;
    double ar2 = cm2, ar1 = cm1, ai2 = sm2, ai1 = sm1;
    for (uint32_t k = 0; k < half; ++k) {
      const double ar0 = w * ar1 - ar2;
      ar2 = ar1;
      ar1 = ar0;
      const double ai0 = w * ai1 - ai2;
      ai2 = ai1;
      ai1 = ai0;
      twiddleRe_[half - 1 + k] = ar0;
      twiddleIm_[half - 1 + k] = ai0;
    }
  }
}

void FFT::MakeWindow(int windowType) {
  const double a = kTwoPi / (Length - 1.0);
  for (uint32_t i = 0; i < Length; ++i) {
    const double x = i;
    double w = 1.0;
    switch (windowType) {
      case WindowHanning:
        w = 0.5 - 0.5 * std::cos(a * x);
        break;
      case WindowHamming:
        w = 0.538 - 0.462 * std::cos(a * x);
        break;
      case WindowBlackman:
        w = 0.42 - 0.5 * std::cos(a * x) + 0.08 * std::cos((2.0 * a) * x);
        break;
      case WindowBlackmanHarris:
        w = 0.35875 - 0.48829 * std::cos(a * x) + 0.14128 * std::cos((2.0 * a) * x) -
            0.01168 * std::cos((3.0 * a) * x);
        break;
      default:
        w = 1.0;
        break;
    }
    WindowTable[i] = w;
  }
  windowType_ = windowType;
  windowPower_ = WindowPower();
}

double FFT::WindowPower() const {
  double sum = 0.0;
  for (uint32_t i = 0; i < Length; ++i)
    sum += WindowTable[i] * WindowTable[i];
  const double p = sum / Length;
  return p == 0.0 ? 1e-12 : p;
}

void FFT::ApplyWindow() {
  // WeightedIm is all zero from construction on and nothing writes it.
#ifdef TONVISTA_FFT_AVX2
  if (wide_) return WindowWide(WeightedRe.data(), Input.data(), WindowTable.data(), Length);
#endif
  WindowNarrow(WeightedRe.data(), Input.data(), WindowTable.data(), Length);
}

void FFT::Transform() {
  const uint32_t n = Length;
  if (n < kWideMinimum) {
    double* re = SpectrumRe.data();
    double* im = SpectrumIm.data();
    for (uint32_t i = 0; i < n; ++i) {
      re[i] = WeightedRe[reversed_[i]];
      im[i] = WeightedIm[reversed_[i]];
    }
    for (uint32_t half = 1; half < n; half *= 2)
      SingleStage<V2>(re, im, n, half, twiddleRe_.data() + half - 1, twiddleIm_.data() + half - 1);
    return;
  }
  TransformFrom(WeightedRe.data(), false);
}

void FFT::TransformFrom(const double* in, bool windowed) {
  const uint32_t n = Length;
  const uint32_t parts = n / std::min(n, kCacheBlock);
  const double* w = WindowTable.data();
  const double* src = in;
  const bool wide = wide_ && n >= kWideMinimum;
  if (parts > 1) {
#ifdef TONVISTA_FFT_AVX2
    if (wide)
      SplitWide(split_.data(), in, w, n, parts, splitStride_, windowed);
    else
#endif
      SplitNarrow(split_.data(), in, w, n, parts, splitStride_, windowed);
    src = split_.data();
  } else if (windowed) {
#ifdef TONVISTA_FFT_AVX2
    if (wide)
      WindowWide(WeightedRe.data(), in, w, n);
    else
#endif
      WindowNarrow(WeightedRe.data(), in, w, n);
    src = WeightedRe.data();
  }
  double* re = SpectrumRe.data();
  double* im = SpectrumIm.data();
  const double* tr = twiddleRe_.data();
  const double* ti = twiddleIm_.data();
#ifdef TONVISTA_FFT_AVX2
  if (wide) return TransformWide(re, im, src, splitStride_, reversed_.data(), n, tr, ti);
#endif
  TransformNarrow(re, im, src, splitStride_, reversed_.data(), n, tr, ti);
}

void FFT::ComputeLevels() {
  const uint32_t h = Length / 2;
  const double scale = static_cast<double>(h * h) * windowPower_;
#ifdef TONVISTA_FFT_AVX2
  if (wide_) return LevelsWide(Levels.data(), SpectrumRe.data(), SpectrumIm.data(), h, scale);
#endif
  LevelsNarrow(Levels.data(), SpectrumRe.data(), SpectrumIm.data(), h, scale);
}

bool FFT::WideAvailable() {
#ifdef TONVISTA_FFT_AVX2
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

void FFT::SetWide(bool wide) {
  wide_ = wide && WideAvailable();
}

uint32_t FFT::LowestBit(uint32_t n) {
  uint32_t bit = 0;
  while ((n & 1u) == 0) {
    n >>= 1;
    ++bit;
  }
  return bit;
}

uint32_t FFT::ReverseBits(uint32_t index, uint32_t bits) {
  uint32_t result = 0;
  for (uint32_t i = 0; i < bits; ++i) {
    result = 2 * result + (index & 1u);
    index >>= 1;
  }
  return result;
}
