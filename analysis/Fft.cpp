#include "Fft.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSampleScale = 1.0 / 32768.0;

// Two doubles processed side by side; element-wise IEEE arithmetic, so each lane gives exactly
// the scalar result.
typedef double V2 __attribute__((vector_size(16)));

inline V2 Load(const double* p) {
  V2 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(double* p, V2 v) {
  __builtin_memcpy(p, &v, sizeof v);
}
inline V2 Pair(double a, double b) {
  return V2{a, b};
}
inline V2 Sqrt(V2 v) {
#ifdef __SSE2__
  return _mm_sqrt_pd(v);
#else
  return V2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

// One radix-2 butterfly on (j, m) with the twiddle (ar, ai).
template <typename T>
inline void Butterfly(T& rj, T& ij, T& rm, T& im, T ar, T ai) {
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
void SingleStage(double* re, double* im, uint32_t n, uint32_t h, const double* wr,
                 const double* wi) {
  for (uint32_t g = 0; g < n; g += 2 * h) {
    double* r0 = re + g;
    double* i0 = im + g;
    double* r1 = re + g + h;
    double* i1 = im + g + h;
    uint32_t k = 0;
    for (; k + 2 <= h; k += 2) {
      V2 a = Load(r0 + k), b = Load(i0 + k), c = Load(r1 + k), d = Load(i1 + k);
      Butterfly(a, b, c, d, Load(wr + k), Load(wi + k));
      Store(r0 + k, a);
      Store(i0 + k, b);
      Store(r1 + k, c);
      Store(i1 + k, d);
    }
    for (; k < h; ++k)
      Butterfly(r0[k], i0[k], r1[k], i1[k], wr[k], wi[k]);
  }
}

// Stages h and 2h (h even) in one pass over memory: the elements a, a+h, a+2h, a+3h go
// through both stages in registers.
void FusedStages(double* re, double* im, uint32_t n, uint32_t h, const double* w1r,
                 const double* w1i, const double* w2r, const double* w2i) {
  for (uint32_t g = 0; g < n; g += 4 * h) {
    double* ra = re + g;
    double* ia = im + g;
    double* rb = ra + h;
    double* ib = ia + h;
    double* rc = rb + h;
    double* ic = ib + h;
    double* rd = rc + h;
    double* id = ic + h;
    for (uint32_t k = 0; k < h; k += 2) {
      V2 ar = Load(ra + k), ai = Load(ia + k), br = Load(rb + k), bi = Load(ib + k);
      V2 cr = Load(rc + k), ci = Load(ic + k), dr = Load(rd + k), di = Load(id + k);
      const V2 t1r = Load(w1r + k), t1i = Load(w1i + k);
      Butterfly(ar, ai, br, bi, t1r, t1i);
      Butterfly(cr, ci, dr, di, t1r, t1i);
      Butterfly(ar, ai, cr, ci, Load(w2r + k), Load(w2i + k));
      Butterfly(br, bi, dr, di, Load(w2r + k + h), Load(w2i + k + h));
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
// stages (half-lengths 1 and 2), two groups of four at a time; len is a multiple of 8. The
// imaginary input is all zero, so zeros are used instead of gathering them.
void GatherFirstStages(double* re, double* im, const double* wre, const uint32_t* rev,
                       uint32_t base, uint32_t len, const double* tr, const double* ti) {
  const V2 w1r = Pair(tr[0], tr[0]), w1i = Pair(ti[0], ti[0]);
  const V2 w20r = Pair(tr[1], tr[1]), w20i = Pair(ti[1], ti[1]);
  const V2 w21r = Pair(tr[2], tr[2]), w21i = Pair(ti[2], ti[2]);
  const V2 zero = Pair(0.0, 0.0);
  for (uint32_t i = base; i < base + len; i += 8) {
    const uint32_t* r = rev + i;
    V2 ar = Pair(wre[r[0]], wre[r[4]]), ai = zero;
    V2 br = Pair(wre[r[1]], wre[r[5]]), bi = zero;
    V2 cr = Pair(wre[r[2]], wre[r[6]]), ci = zero;
    V2 dr = Pair(wre[r[3]], wre[r[7]]), di = zero;
    Butterfly(ar, ai, br, bi, w1r, w1i);
    Butterfly(cr, ci, dr, di, w1r, w1i);
    Butterfly(ar, ai, cr, ci, w20r, w20i);
    Butterfly(br, bi, dr, di, w21r, w21i);
    double* o = re + i;
    double* p = im + i;
    o[0] = ar[0], o[1] = br[0], o[2] = cr[0], o[3] = dr[0];
    o[4] = ar[1], o[5] = br[1], o[6] = cr[1], o[7] = dr[1];
    p[0] = ai[0], p[1] = bi[0], p[2] = ci[0], p[3] = di[0];
    p[4] = ai[1], p[5] = bi[1], p[6] = ci[1], p[7] = di[1];
  }
}

// Runs the stages with half-lengths from `half` up to below `end` over [0, n).
uint32_t RunStages(double* re, double* im, uint32_t n, uint32_t half, uint32_t end,
                   const double* tr, const double* ti) {
  while (half < end) {
    if (half == 1 || 4 * half > end) {
      SingleStage(re, im, n, half, tr + half - 1, ti + half - 1);
      half *= 2;
    } else {
      FusedStages(re, im, n, half, tr + half - 1, ti + half - 1, tr + 2 * half - 1,
                  ti + 2 * half - 1);
      half *= 4;
    }
  }
  return half;
}

// Stages up to this span run block by block, so each block stays in the first-level cache.
constexpr uint32_t kCacheBlock = 2048;

}  // namespace

FFT::FFT(uint32_t length)
    : Length(length),
      Input(length),
      WindowTable(length),
      WeightedRe(length),
      WeightedIm(length),
      SpectrumRe(length),
      SpectrumIm(length),
      Levels(length) {
  MakeTables();
}

FFT::FFT(uint32_t length, const double* samples, int windowType) : FFT(length) {
  Process(samples, windowType);
}

void FFT::Process(const double* samples, int windowType) {
  std::memcpy(Input.data(), samples, sizeof(double) * Length);
  if (windowType != windowType_) MakeWindow(windowType);
  ApplyWindow();
  Transform();
  ComputeLevels();
}

void FFT::CopyLevels(double* destination, int count) const {
  std::memcpy(destination, Levels.data(), sizeof(double) * static_cast<size_t>(count));
}

void FFT::MakeTables() {
  const uint32_t bits = Length > 1 ? LowestBit(Length) : 0;
  reversed_.resize(Length);
  for (uint32_t i = 0; i < Length; ++i)
    reversed_[i] = ReverseBits(i, bits);

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
  const double* __restrict in = Input.data();
  const double* __restrict w = WindowTable.data();
  double* __restrict re = WeightedRe.data();
  // WeightedIm is all zero from construction on and nothing writes it.
  for (uint32_t i = 0; i < Length; ++i) {
    re[i] = in[i] * kSampleScale * w[i];
  }
}

void FFT::Transform() {
  const uint32_t n = Length;
  double* re = SpectrumRe.data();
  double* im = SpectrumIm.data();
  const double* tr = twiddleRe_.data();
  const double* ti = twiddleIm_.data();
  if (n < 8) {
    for (uint32_t i = 0; i < n; ++i) {
      re[i] = WeightedRe[reversed_[i]];
      im[i] = WeightedIm[reversed_[i]];
    }
    RunStages(re, im, n, 1, n, tr, ti);
    return;
  }
  // Gathering reads scattered but writes in order, which the cache handles far better than
  // scattered writes at power-of-two strides. The reversal is its own inverse. The early
  // stages only combine elements inside one block, so a block can run them all at once.
  const uint32_t block = std::min(n, kCacheBlock);
  for (uint32_t base = 0; base < n; base += block) {
    GatherFirstStages(re, im, WeightedRe.data(), reversed_.data(), base, block, tr, ti);
    RunStages(re + base, im + base, block, 4, block, tr, ti);
  }
  RunStages(re, im, n, block, n, tr, ti);
}

void FFT::ComputeLevels() {
  const uint32_t h = Length / 2;
  const double scale = static_cast<double>(h * h) * windowPower_;
  const double* re = SpectrumRe.data();
  const double* im = SpectrumIm.data();
  double* out = Levels.data();
  uint32_t k = 0;
  const V2 s2 = Pair(scale, scale);
  for (; k + 2 <= h; k += 2) {
    const V2 r = Load(re + k), i = Load(im + k);
    V2 p = (r * r + i * i) / s2;
    // Only a NaN fails p >= 0.
    p = p >= 0.0 ? p : Pair(1e-12, 1e-12);
    Store(out + k, Sqrt(p));
  }
  for (; k < h; ++k) {
    double p = (re[k] * re[k] + im[k] * im[k]) / scale;
    if (!(p >= 0.0)) p = 1e-12;
    out[k] = std::sqrt(p);
  }
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
