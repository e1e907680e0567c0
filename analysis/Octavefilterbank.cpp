#include "Octavefilterbank.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace octave_kernels {

// Four band lanes at once: one AVX2 register where the processor has them, two SSE2 ones
// otherwise. The state stays in registers; the coefficients are read from memory.
// The alignment is spelled out: by default it would follow the target, and the AVX2 kernel
// would then expect more than the allocation gives.
using V4 = double __attribute__((vector_size(32), aligned(32)));
constexpr int kLanes = 4;

struct alignas(32) Group {
  V4 g[3], a1[3], a2[3];
};
struct alignas(32) GroupState {
  V4 s1[3], s2[3];
  V4 sum, fast, slow;
};

// n samples of x through every group of band lanes: three biquads each, then the energy sum
// and the F and S time weightings of the squared output.
#define OCTAVE_RUN_GROUPS_BODY               \
  for (int q = 0; q < count; ++q) {          \
    const Group c = groups[q];               \
    GroupState s = states[q];                \
    for (int i = 0; i < n; ++i) {            \
      V4 v = V4{} + x[i];                    \
      for (int j = 0; j < 3; ++j) {          \
        const V4 y = c.g[j] * v + s.s1[j];   \
        s.s1[j] = s.s2[j] - c.a1[j] * y;     \
        s.s2[j] = -c.g[j] * v - c.a2[j] * y; \
        v = y;                               \
      }                                      \
      const V4 e = v * v;                    \
      s.sum += e;                            \
      s.fast += cf * (e - s.fast);           \
      s.slow += cs * (e - s.slow);           \
    }                                        \
    states[q] = s;                           \
  }

// The odd outputs of the rate doubler for n inputs: out[i] = 2 sum_j h_j (c[i - j] +
// c[i + 1 + j]) with c the centred input; j outside, i inside so that the lanes run along i.
#define OCTAVE_INTERPOLATE_BODY      \
  for (int i = 0; i < n; ++i)        \
    out[i] = 0.0;                    \
  for (int j = 0; j < pairs; ++j) {  \
    const double w = 2.0 * h[j];     \
    const double* lo = c - j;        \
    const double* hi = c + 1 + j;    \
    for (int i = 0; i < n; ++i)      \
      out[i] += w * (lo[i] + hi[i]); \
  }

// Each kernel twice, for AVX2 and for any x86-64, picked at run time.
__attribute__((noipa)) void RunGroupsPlain(const Group* groups, GroupState* states, int count,
                                           const double* x, int n, double cf, double cs) {
  OCTAVE_RUN_GROUPS_BODY
}
__attribute__((noipa, target("avx2"))) void RunGroupsAvx2(const Group* groups, GroupState* states,
                                                          int count, const double* x, int n,
                                                          double cf, double cs) {
  OCTAVE_RUN_GROUPS_BODY
}
__attribute__((noipa)) void InterpolatePlain(const double* h, int pairs, const double* c, int n,
                                             double* out) {
  OCTAVE_INTERPOLATE_BODY
}
__attribute__((noipa, target("avx2"))) void InterpolateAvx2(const double* h, int pairs,
                                                            const double* c, int n, double* out) {
  OCTAVE_INTERPOLATE_BODY
}
#undef OCTAVE_RUN_GROUPS_BODY
#undef OCTAVE_INTERPOLATE_BODY

// Before main the processor model may not be known yet: ask for it first.
const bool kAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

void RunGroups(const Group* groups, GroupState* states, int count, const double* x, int n,
               double cf, double cs) {
  (kAvx2 ? RunGroupsAvx2 : RunGroupsPlain)(groups, states, count, x, n, cf, cs);
}

void InterpolateOdd(const double* h, int pairs, const double* c, int n, double* out) {
  (kAvx2 ? InterpolateAvx2 : InterpolatePlain)(h, pairs, c, n, out);
}

}  // namespace octave_kernels

using octave_kernels::Group;
using octave_kernels::GroupState;
using octave_kernels::kLanes;
using octave_kernels::V4;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// Bands of a decimated stage reach up to this fraction of its rate (upper edge of the upper
// neighbour): below the half-band filters' pass-band edge (0.3), clear of the fold.
constexpr double kStageTop = 0.28;
// Frames handled in one go at the full rate.
constexpr int kChunk = 256;

// Half-band low-pass for halving the rate: Kaiser-windowed sinc, pass band to 0.15 and stop
// band from 0.35 of the input rate, stop band below -100 dB. Taps 0, 1, 3, 5, ... (the even
// ones are zero).
constexpr int kHalfbandReach = 19;  // taps -19..19
// The sharp one that doubles the rate for the bands next to half the rate: flat to 0.4905 of
// the original rate (a band's upper edge may lie there), images from 0.5095 on below -100 dB.
constexpr int kInterpolatorReach = 337;
// Bands whose upper edge lies above this fraction of the rate run at twice the rate: there the
// bilinear transform would squeeze their upper skirt against half the rate.
constexpr double kOversampleAbove = 0.25;

struct Halfband {
  std::vector<double> odd;  // h[1], h[3], ..., h[kHalfbandReach]
  double centre = 0.5;
};

double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < 1e-17 * sum) break;
  }
  return sum;
}

Halfband DesignHalfband(int reach) {
  Halfband h;
  const double beta = 0.1102 * (100.0 - 8.7);
  const double n = reach + 1.0;
  double sum = 0.5;
  for (int k = 1; k <= reach; k += 2) {
    const double r = k / n;
    const double w = BesselI0(beta * std::sqrt(1.0 - r * r)) / BesselI0(beta);
    const double v = std::sin(kPi * k / 2.0) / (kPi * k) * w;
    h.odd.push_back(v);
    sum += 2.0 * v;
  }
  // Unity gain at DC.
  h.centre = 0.5 / sum;
  for (double& v : h.odd)
    v /= sum;
  return h;
}

const Halfband& HalfbandFilter() {
  static const Halfband h = DesignHalfband(kHalfbandReach);
  return h;
}

const Halfband& InterpolatorFilter() {
  static const Halfband h = DesignHalfband(kInterpolatorReach);
  return h;
}

double HalfbandMagnitude(double frequency, double rate, const Halfband& h = HalfbandFilter()) {
  const double w = 2.0 * kPi * frequency / rate;
  double v = h.centre;
  for (size_t i = 0; i < h.odd.size(); ++i)
    v += 2.0 * h.odd[i] * std::cos(w * (2.0 * i + 1.0));
  return std::fabs(v);
}

// One band-pass: three biquads g (1 - z^-2) / (1 + a1 z^-1 + a2 z^-2).
struct BandDesign {
  double g[3], a1[3], a2[3];
};

std::complex<double> BandResponse(const BandDesign& d, double frequency, double rate) {
  const double w = 2.0 * kPi * frequency / rate;
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  std::complex<double> h = 1.0;
  for (int j = 0; j < 3; ++j)
    h *= d.g[j] * (1.0 - z2) / (1.0 + d.a1[j] * z1 + d.a2[j] * z2);
  return h;
}

// Order-3 Butterworth band-pass centred (after pre-warping) on `mid` with the analogue
// bandwidth `width` in the pre-warped domain (Hz), by the bilinear transform; 0 dB at mid.
BandDesign DesignBand(double mid, double width, double rate) {
  const double k = 2.0 * rate;
  const double w0 = 2.0 * kPi * (rate / kPi) * std::tan(kPi * mid / rate);
  const double bw = 2.0 * kPi * width;
  BandDesign d{};
  // Low-pass prototype poles: -1 and -1/2 +- j sqrt(3)/2. Each gives two band-pass poles;
  // one of each conjugate pair is enough.
  const std::complex<double> proto[2] = {{-0.5, std::sqrt(3.0) / 2.0}, {-1.0, 0.0}};
  std::complex<double> poles[3];
  {
    const std::complex<double> p = proto[0];
    const std::complex<double> disc = std::sqrt(p * p * bw * bw - 4.0 * w0 * w0);
    poles[0] = (p * bw + disc) / 2.0;
    poles[1] = (p * bw - disc) / 2.0;
    // The real prototype pole gives a conjugate pair (bw < 2 w0 for every fractional band).
    const std::complex<double> q = proto[1];
    poles[2] = (q * bw + std::sqrt(q * q * bw * bw - 4.0 * w0 * w0)) / 2.0;
  }
  for (int j = 0; j < 3; ++j) {
    const std::complex<double> z = (k + poles[j]) / (k - poles[j]);
    d.a1[j] = -2.0 * z.real();
    d.a2[j] = std::norm(z);
    d.g[j] = 1.0;
  }
  // Spread the gain evenly over the sections, 0 dB at mid in all.
  const double m = std::abs(BandResponse(d, mid, rate));
  const double g = std::cbrt(1.0 / m);
  for (int j = 0; j < 3; ++j)
    d.g[j] = g;
  return d;
}

// |H|^2 of a band at normalised angular frequency w, in real arithmetic (the design loop calls
// it often): |1 - z^-2|^2 = 2 - 2 cos 2w, |1 + a1/z + a2/z^2|^2 = 1 + a1^2 + a2^2
// + 2 a1 (1 + a2) cos w + 2 a2 cos 2w.
double BandPower(const BandDesign& d, double w) {
  const double c1 = std::cos(w), c2 = 2.0 * c1 * c1 - 1.0;
  double p = 1.0;
  for (int j = 0; j < 3; ++j) {
    const double a1 = d.a1[j], a2 = d.a2[j];
    p *= d.g[j] * d.g[j] * (2.0 - 2.0 * c2) /
         (1.0 + a1 * a1 + a2 * a2 + 2.0 * a1 * (1.0 + a2) * c1 + 2.0 * a2 * c2);
  }
  return p;
}

// Integral of |H|^2 over frequency (Hz): the band's effective bandwidth.
double EffectiveBandwidth(const BandDesign& d, double mid, double reach, double rate) {
  const double lo = mid / reach, hi = std::min(mid * reach, rate / 2.0);
  const int n = 640;
  const double step = std::log(hi / lo) / n;
  double sum = 0.0;
  for (int i = 0; i <= n; ++i) {
    const double f = lo * std::exp(step * i);
    const double v = BandPower(d, 2.0 * kPi * f / rate) * f;
    sum += (i == 0 || i == n) ? v / 2.0 : v;
  }
  return sum * step;
}

std::string NominalLabel(int bandsPerOctave, int index) {
  static constexpr double kMantissa[10] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};
  const int third = bandsPerOctave == 1 ? 3 * index : index;  // in one-third-octave steps
  const int decade = third >= 0 ? third / 10 : -((-third + 9) / 10);
  const int m = third - 10 * decade;
  const double v = kMantissa[m] * std::pow(10.0, 3 + decade);
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

std::string ExactLabel(double mid) {
  char text[32];
  if (mid >= 1000.0)
    std::snprintf(text, sizeof text, "%.0f", mid);
  else
    std::snprintf(text, sizeof text, "%.4g", mid);
  return text;
}

}  // namespace

bool ValidBandsPerOctave(int b) {
  return b == 1 || b == 3 || b == 6 || b == 12 || b == 24;
}

double BandMidFrequency(int b, int index) {
  const double exponent =
      (b % 2 == 1) ? static_cast<double>(index) / b : (2.0 * index + 1.0) / (2.0 * b);
  return kReferenceFrequency * std::pow(kOctaveRatio, exponent);
}

std::vector<FractionalBand> FractionalBands(int b, double rate) {
  std::vector<FractionalBand> out;
  if (!ValidBandsPerOctave(b) || !(rate > 0.0)) return out;
  // The nominal 20 Hz one-third-octave band has its exact mid-band at 19.95 Hz.
  int x = static_cast<int>(std::floor(b * std::log(19.9 / 1000.0) / std::log(kOctaveRatio))) - 2;
  while (BandMidFrequency(b, x) < 19.9)
    ++x;
  const double edge = std::pow(kOctaveRatio, 1.0 / (2.0 * b));
  for (; BandMidFrequency(b, x) < 0.45 * rate; ++x) {
    FractionalBand band;
    band.index = x;
    band.mid = BandMidFrequency(b, x);
    band.lower = band.mid / edge;
    band.upper = band.mid * edge;
    band.label = (b == 1 || b == 3) ? NominalLabel(b, x) : ExactLabel(band.mid);
    out.push_back(band);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Halving the rate of one channel: keeps the input's last taps between calls.
struct Decimator {
  std::vector<double> buffer;  // 2 * reach history, then the new input
  bool odd = false;            // the next input sample is an odd one (no output)

  void Reset() {
    buffer.assign(2 * kHalfbandReach, 0.0);
    odd = false;
  }
  // Appends n samples and writes the outputs; returns their number.
  int Run(const double* in, int n, double* out) {
    const Halfband& h = HalfbandFilter();
    const int history = 2 * kHalfbandReach;
    buffer.resize(history);
    buffer.insert(buffer.end(), in, in + n);
    const double* x = buffer.data();
    int count = 0;
    int i = odd ? 1 : 0;
    for (; i < n; i += 2) {
      // Output at input i, centred kHalfbandReach samples back.
      const double* c = x + history + i - kHalfbandReach;
      double v = h.centre * c[0];
      for (int k = 0; k < static_cast<int>(h.odd.size()); ++k) {
        const int t = 2 * k + 1;
        v += h.odd[k] * (c[-t] + c[t]);
      }
      out[count++] = v;
    }
    odd = (i - n) == 1;
    buffer.erase(buffer.begin(), buffer.end() - history);
    return count;
  }
};

// Doubling the rate of one channel: each input sample gives itself and the value half way to
// the next, from the odd taps; the output lags by half the filter.
struct Interpolator {
  std::vector<double> buffer;
  std::vector<double> odd;

  void Reset() { buffer.assign(kInterpolatorReach + 1, 0.0); }
  // n inputs, 2 n outputs.
  void Run(const double* in, int n, double* out) {
    const Halfband& h = InterpolatorFilter();
    const int pairs = static_cast<int>(h.odd.size());  // (reach + 1) / 2
    const int history = 2 * pairs;
    buffer.resize(history);
    buffer.insert(buffer.end(), in, in + n);
    const double* x = buffer.data();
    for (int i = 0; i < n; ++i) {
      // Centre pairs samples back from the newest.
      const double* c = x + history + i - pairs;
      double v = 0.0;
      for (int j = 0; j < pairs; ++j)
        v += h.odd[j] * (c[-j] + c[1 + j]);
      out[2 * i] = c[0];
      out[2 * i + 1] = 2.0 * v;
    }
    buffer.erase(buffer.begin(), buffer.end() - history);
  }
};

}  // namespace

struct OctaveFilterBank::Impl {
  struct Stage {
    double rate = 0.0;
    int first = 0, count = 0;  // bands first .. first + count - 1 run here
    double coefFast = 0.0, coefSlow = 0.0;
    std::vector<Group> groups;  // lane l of group q: band first + q * kLanes + l
    struct Channel {
      std::vector<GroupState> states;
      std::int64_t samples = 0;
      Decimator down;   // from the previous stage's rate to this one (unused at stage 0)
      Interpolator up;  // for the stage at twice the rate
      std::vector<double> input;
    } channel[2];
  };
  std::vector<Stage> stages;
  // The top bands, at twice the rate (count 0 if none).
  Stage over;
  const Stage& StageOf(int band) const { return stageOf[band] < 0 ? over : stages[stageOf[band]]; }
  std::vector<BandDesign> designs;
  std::vector<int> stageOf;
  WeightingFilter weighting[2];
  std::vector<double> scratch[2];

  void RunBands(Stage& st, Stage::Channel& ch, const double* x, int n) {
    octave_kernels::RunGroups(st.groups.data(), ch.states.data(),
                              static_cast<int>(st.groups.size()), x, n, st.coefFast, st.coefSlow);
    ch.samples += n;
  }

  // A lane's numbers.
  static double Lane(const V4& v, int band, const Stage& st) {
    return v[(band - st.first) % kLanes];
  }
  static const GroupState& StateOf(const Stage::Channel& ch, int band, const Stage& st) {
    return ch.states[(band - st.first) / kLanes];
  }

  void RunChannel(int c, const double* x, int n) {
    if (over.count > 0) {
      Stage::Channel& ch = over.channel[c];
      ch.input.resize(2 * n);
      ch.up.Run(x, n, ch.input.data());
      RunBands(over, ch, ch.input.data(), 2 * n);
    }
    // Stage 0 takes the weighted stream as it is; each further stage halves the previous.
    const double* in = x;
    int count = n;
    for (size_t s = 0; s < stages.size(); ++s) {
      Stage& st = stages[s];
      Stage::Channel& ch = st.channel[c];
      if (s > 0) {
        ch.input.resize(count / 2 + 1);
        count = ch.down.Run(in, count, ch.input.data());
        in = ch.input.data();
      }
      RunBands(st, ch, in, count);
    }
  }
};

OctaveFilterBank::OctaveFilterBank(int bandsPerOctave, double rate, int channels,
                                   FrequencyWeighting weighting)
    : bandsPerOctave_(bandsPerOctave),
      rate_(rate),
      channels_(channels),
      weighting_(weighting),
      broadband_{SoundLevelMeter(rate), SoundLevelMeter(rate)},
      impl_(std::make_unique<Impl>()) {
  if (!ValidBandsPerOctave(bandsPerOctave))
    throw std::invalid_argument("bands per octave must be 1, 3, 6, 12 or 24");
  if (channels < 1 || channels > 2) throw std::invalid_argument("1 or 2 channels");
  if (!(rate >= 8000.0)) throw std::invalid_argument("sampling rate below 8000 Hz");
  bands_ = FractionalBands(bandsPerOctave, rate);
  const int nb = static_cast<int>(bands_.size());
  Impl& m = *impl_;
  for (int c = 0; c < 2; ++c)
    m.weighting[c] = WeightingFilter(weighting, rate);

  // The lowest stage a band can run at: its upper neighbour's upper edge within kStageTop of
  // that stage's rate.
  const double reach = std::pow(kOctaveRatio, 3.0 / (2.0 * bandsPerOctave));
  m.stageOf.resize(nb);
  int stageCount = 1;
  for (int i = 0; i < nb; ++i) {
    int s = 0;
    while (bands_[i].mid * reach <= kStageTop * rate / std::pow(2.0, s + 1))
      ++s;
    m.stageOf[i] = (s == 0 && bands_[i].upper > kOversampleAbove * rate) ? -1 : s;
    stageCount = std::max(stageCount, s + 1);
  }
  m.stages.resize(stageCount);
  // Bands ascend, stages descend in rate: stage s holds a contiguous run.
  for (int s = 0; s < stageCount; ++s) {
    Impl::Stage& st = m.stages[s];
    st.rate = rate / std::pow(2.0, s);
    st.first = nb;
    for (int i = 0; i < nb; ++i)
      if (m.stageOf[i] == s) {
        st.first = std::min(st.first, i);
        ++st.count;
      }
    if (st.count == 0) st.first = 0;
    st.coefFast = 1.0 - std::exp(-1.0 / (kTauFast * st.rate));
    st.coefSlow = 1.0 - std::exp(-1.0 / (kTauSlow * st.rate));
  }
  {
    Impl::Stage& st = m.over;
    st.rate = 2.0 * rate;
    st.first = nb;
    for (int i = 0; i < nb; ++i)
      if (m.stageOf[i] < 0) {
        st.first = std::min(st.first, i);
        ++st.count;
      }
    if (st.count == 0) st.first = 0;
    st.coefFast = 1.0 - std::exp(-1.0 / (kTauFast * st.rate));
    st.coefSlow = 1.0 - std::exp(-1.0 / (kTauSlow * st.rate));
  }

  // Each band's analogue bandwidth is tuned so that its effective bandwidth (the integral of
  // |H|^2) equals the nominal one, upper - lower: then band powers add up to the broadband
  // power. Butterworth's own is pi/3 / sin(pi/6) wider than its -3 dB bandwidth.
  m.designs.resize(nb);
  for (int i = 0; i < nb; ++i) {
    const FractionalBand& band = bands_[i];
    const double r = m.StageOf(i).rate;
    auto warp = [r](double f) { return r / kPi * std::tan(kPi * std::min(f, 0.499 * r) / r); };
    const double target = band.upper - band.lower;
    double width = (warp(band.upper) - warp(band.lower)) * (0.5 / (kPi / 6.0));
    const double far = std::pow(kOctaveRatio, 8.0 / bandsPerOctave);
    BandDesign d{};
    for (int it = 0; it < 3; ++it) {
      d = DesignBand(band.mid, width, r);
      const double eff = EffectiveBandwidth(d, band.mid, far, r);
      width *= target / eff;
    }
    m.designs[i] = DesignBand(band.mid, width, r);
  }
  for (int s = -1; s < stageCount; ++s) {
    Impl::Stage& st = s < 0 ? m.over : m.stages[s];
    // Spare lanes of the last group stay all zero: silent.
    st.groups.assign((st.count + kLanes - 1) / kLanes, Group{});
    for (int l = 0; l < st.count; ++l)
      for (int j = 0; j < 3; ++j) {
        const BandDesign& d = m.designs[st.first + l];
        Group& g = st.groups[l / kLanes];
        g.g[j][l % kLanes] = d.g[j];
        g.a1[j][l % kLanes] = d.a1[j];
        g.a2[j][l % kLanes] = d.a2[j];
      }
  }
  Reset();
}

OctaveFilterBank::~OctaveFilterBank() = default;

void OctaveFilterBank::Reset() {
  Impl& m = *impl_;
  auto clear = [](Impl::Stage& st) {
    for (auto& ch : st.channel) {
      ch.states.assign(st.groups.size(), GroupState{});
      ch.down.Reset();
      ch.up.Reset();
    }
  };
  for (Impl::Stage& st : m.stages)
    clear(st);
  clear(m.over);
  for (auto& w : m.weighting)
    w.Reset();
  for (auto& b : broadband_)
    b.Reset();
  ResetLevels();
}

void OctaveFilterBank::ResetLevels() {
  auto clear = [](Impl::Stage& st) {
    for (auto& ch : st.channel) {
      for (GroupState& g : ch.states)
        g.sum = V4{};
      ch.samples = 0;
    }
  };
  for (Impl::Stage& st : impl_->stages)
    clear(st);
  clear(impl_->over);
  for (auto& b : broadband_)
    b.ResetStatistics();
}

void OctaveFilterBank::SetOffsetDb(double offsetDb) {
  offset_ = offsetDb;
  for (auto& b : broadband_)
    b.SetOffsetDb(offsetDb);
}

void OctaveFilterBank::SetBandCorrectionsDb(std::vector<double> corrections) {
  if (!corrections.empty() && static_cast<int>(corrections.size()) != BandCount())
    throw std::invalid_argument("one correction per band");
  corrections_ = std::move(corrections);
}

void OctaveFilterBank::Process(const double* const* channels, int frames) {
  Impl& m = *impl_;
  for (int done = 0; done < frames; done += kChunk) {
    const int n = std::min(kChunk, frames - done);
    for (int c = 0; c < channels_; ++c) {
      std::vector<double>& x = m.scratch[c];
      x.assign(channels[c] + done, channels[c] + done + n);
      m.weighting[c].Process(x.data(), n);
      broadband_[c].Process(x.data(), n);
      m.RunChannel(c, x.data(), n);
    }
  }
}

void OctaveFilterBank::ProcessInterleaved(const double* samples, int frames) {
  Impl& m = *impl_;
  for (int done = 0; done < frames; done += kChunk) {
    const int n = std::min(kChunk, frames - done);
    for (int c = 0; c < channels_; ++c) {
      std::vector<double>& x = m.scratch[c];
      x.resize(n);
      for (int i = 0; i < n; ++i)
        x[i] = samples[static_cast<long>(done + i) * channels_ + c];
      m.weighting[c].Process(x.data(), n);
      broadband_[c].Process(x.data(), n);
      m.RunChannel(c, x.data(), n);
    }
  }
}

double OctaveFilterBank::Seconds() const {
  return impl_->stages.empty() ? 0.0
                               : static_cast<double>(impl_->stages[0].channel[0].samples) / rate_;
}

double OctaveFilterBank::BandLeqDb(int channel, int band) const {
  const Impl::Stage& st = impl_->StageOf(band);
  const auto& ch = st.channel[channel];
  if (ch.samples == 0) return kNegInf;
  const double sum = Impl::Lane(Impl::StateOf(ch, band, st).sum, band, st);
  const double db = MeanSquareDb(sum / static_cast<double>(ch.samples));
  return db + offset_ + (corrections_.empty() ? 0.0 : corrections_[band]);
}

double OctaveFilterBank::BandLevelDb(int channel, int band, TimeWeighting weighting) const {
  const Impl::Stage& st = impl_->StageOf(band);
  const auto& ch = st.channel[channel];
  const GroupState& g = Impl::StateOf(ch, band, st);
  const double ms = Impl::Lane(weighting == TimeWeighting::Fast ? g.fast : g.slow, band, st);
  return MeanSquareDb(ms) + offset_ + (corrections_.empty() ? 0.0 : corrections_[band]);
}

void OctaveFilterBank::Snapshot(OctaveLevels* out) const {
  out->channels = channels_;
  out->seconds = Seconds();
  for (int c = 0; c < 2; ++c) {
    out->leq[c].clear();
    out->fast[c].clear();
    out->slow[c].clear();
    if (c >= channels_) continue;
    for (int b = 0; b < BandCount(); ++b) {
      out->leq[c].push_back(BandLeqDb(c, b));
      out->fast[c].push_back(BandLevelDb(c, b, TimeWeighting::Fast));
      out->slow[c].push_back(BandLevelDb(c, b, TimeWeighting::Slow));
    }
  }
}

double OctaveFilterBank::ResponseDb(int band, double frequency) const {
  const Impl& m = *impl_;
  const int s = m.stageOf[band];
  if (s < 0) {
    // Doubling the rate leaves an image at rate - f beside the tone; both reach the band.
    auto power = [&](double f) {
      const double i = HalfbandMagnitude(f, 2.0 * rate_, InterpolatorFilter());
      return std::norm(i * BandResponse(m.designs[band], f, 2.0 * rate_));
    };
    return 10.0 * std::log10(power(frequency) + power(rate_ - frequency));
  }
  // A sine's path: each half-band filter at its rate, then the band-pass; their responses are
  // periodic in the rate, so a tone folded by the decimation is covered too.
  double mag = 1.0;
  for (int j = 1; j <= s; ++j)
    mag *= HalfbandMagnitude(frequency, m.stages[j - 1].rate);
  mag *= std::abs(BandResponse(m.designs[band], frequency, m.stages[s].rate));
  return 20.0 * std::log10(mag);
}

std::vector<double> OctaveFilterBank::FilterBand(int band, const double* x, long n, double* outRate,
                                                 double* delaySeconds) const {
  const Impl& m = *impl_;
  const int s = m.stageOf.at(static_cast<size_t>(band));
  std::vector<double> v(x, x + std::max(0L, n));
  double rate = rate_, delay = 0.0;
  std::vector<double> next;
  if (s < 0) {
    Interpolator up;
    up.Reset();
    next.resize(2 * v.size());
    up.Run(v.data(), static_cast<int>(v.size()), next.data());
    delay += static_cast<double>(InterpolatorFilter().odd.size()) / rate;
    rate *= 2.0;
    v.swap(next);
  }
  for (int j = 1; j <= s; ++j) {
    Decimator down;
    down.Reset();
    next.resize(v.size() / 2 + 1);
    next.resize(static_cast<size_t>(down.Run(v.data(), static_cast<int>(v.size()), next.data())));
    // Output i is centred kHalfbandReach input samples before input 2i.
    delay += kHalfbandReach / rate;
    rate /= 2.0;
    v.swap(next);
  }
  const BandDesign& d = m.designs[static_cast<size_t>(band)];
  for (int j = 0; j < 3; ++j) {
    double s1 = 0.0, s2 = 0.0;
    const double g = d.g[j], a1 = d.a1[j], a2 = d.a2[j];
    for (double& value : v) {
      const double in = value;
      const double y = g * in + s1;
      s1 = s2 - a1 * y;
      s2 = -g * in - a2 * y;
      value = y;
    }
  }
  if (outRate) *outRate = rate;
  if (delaySeconds) *delaySeconds = delay;
  return v;
}
