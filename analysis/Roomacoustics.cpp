#include "Roomacoustics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Octavefilterbank.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kMaxFrames = int64_t{1} << 23;
// Energies below this share of the peak's read as this (keeps the logarithms finite).
constexpr double kTiny = 1e-30;

std::string Db(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

struct Line {
  double a = 0.0, b = 0.0, r = kNaN;  // y = a + b x
  bool ok = false;
};

// Least squares over (x[i], y[i]).
Line Fit(const std::vector<double>& x, const std::vector<double>& y, size_t from, size_t to) {
  Line l;
  if (to > x.size()) to = x.size();
  if (to < from + 2) return l;
  const double n = static_cast<double>(to - from);
  double mx = 0.0, my = 0.0;
  for (size_t i = from; i < to; ++i) {
    mx += x[i];
    my += y[i];
  }
  mx /= n;
  my /= n;
  double sxx = 0.0, sxy = 0.0, syy = 0.0;
  for (size_t i = from; i < to; ++i) {
    const double dx = x[i] - mx, dy = y[i] - my;
    sxx += dx * dx;
    sxy += dx * dy;
    syy += dy * dy;
  }
  if (!(sxx > 0.0)) return l;
  l.b = sxy / sxx;
  l.a = my - l.b * mx;
  l.r = syy > 0.0 ? sxy / std::sqrt(sxx * syy) : 0.0;
  l.ok = true;
  return l;
}

// The energy averaged over intervals of `width` samples: centre times (s) and levels (dB).
void Smooth(const std::vector<double>& e, double rate, int64_t width, double floor,
            std::vector<double>* t, std::vector<double>* level) {
  t->clear();
  level->clear();
  const int64_t n = static_cast<int64_t>(e.size());
  width = std::max<int64_t>(1, width);
  for (int64_t i = 0; i + width <= n; i += width) {
    double sum = 0.0;
    for (int64_t j = i; j < i + width; ++j)
      sum += e[static_cast<size_t>(j)];
    t->push_back((static_cast<double>(i) + 0.5 * static_cast<double>(width)) / rate);
    level->push_back(10.0 * std::log10(std::max(sum / static_cast<double>(width), floor)));
  }
}

double MeanOf(const std::vector<double>& e, int64_t from) {
  const int64_t n = static_cast<int64_t>(e.size());
  from = std::clamp<int64_t>(from, 0, n - 1);
  double sum = 0.0;
  for (int64_t i = from; i < n; ++i)
    sum += e[static_cast<size_t>(i)];
  return sum / static_cast<double>(n - from);
}

struct Truncation {
  bool ok = false;
  std::string reason;
  double crossing = 0.0;  // seconds after the onset
  double noise = 0.0;     // mean energy per sample
  double startDb = 0.0;   // the smoothed energy at the onset
  double slope = 0.0;     // dB per second of the late decay
};

// Lundeby et al. (1995): a preliminary line from the start to 10 dB above the noise, then in
// turn the noise from 10 dB past the crossing on, the late decay's line over the 20 dB ending
// 5 dB above the noise, and their new crossing, with intervals of a fifth of 10 dB's decay.
Truncation FindTruncation(const std::vector<double>& e, double rate, double midHz) {
  Truncation tr;
  const int64_t n = static_cast<int64_t>(e.size());
  if (n < static_cast<int64_t>(0.02 * rate) || n < 20) {
    tr.reason = "the response lasts less than 20 ms after its onset";
    return tr;
  }
  const double peak = *std::max_element(e.begin(), e.end());
  const double floor = peak * kTiny;
  const double seconds = static_cast<double>(n) / rate;
  const double shortest = midHz > 0.0 ? 2.0 / midHz : 0.002;
  const int64_t tail = n - n / 10;  // the last tenth
  std::vector<double> t, level;
  Smooth(e, rate, std::llround(std::max(0.01, 3.0 * shortest) * rate), floor, &t, &level);
  if (level.size() < 3) {
    tr.reason = "the response is too short for its band";
    return tr;
  }
  double noise = std::max(MeanOf(e, tail), floor);
  double noiseDb = 10.0 * std::log10(noise);
  tr.startDb = *std::max_element(level.begin(), level.begin() + std::min<size_t>(3, level.size()));
  const size_t top = static_cast<size_t>(
      std::max_element(level.begin(), level.begin() + std::min<size_t>(3, level.size())) -
      level.begin());
  size_t end = top;
  while (end < level.size() && level[end] >= noiseDb + 10.0)
    ++end;
  Line line = Fit(t, level, top, end);
  if (!line.ok || !(line.b < 0.0)) {
    tr.reason = "the response does not decay 10 dB above its noise (" + Db(tr.startDb - noiseDb) +
                " dB of range)";
    return tr;
  }
  double crossing = std::clamp((noiseDb - line.a) / line.b, 0.0, seconds);
  for (int it = 0; it < 8; ++it) {
    // Five intervals per 10 dB of decay.
    const double width = std::clamp(2.0 / -line.b, shortest, seconds / 10.0);
    Smooth(e, rate, std::llround(width * rate), floor, &t, &level);
    if (level.size() < 3) break;
    const double from = crossing + 10.0 / -line.b;
    noise = std::max(MeanOf(e, std::min<int64_t>(tail, std::llround(from * rate))), floor);
    noiseDb = 10.0 * std::log10(noise);
    const double hi = std::max((noiseDb + 25.0 - line.a) / line.b, t.front());
    const double lo = (noiseDb + 5.0 - line.a) / line.b;
    size_t i0 = 0;
    while (i0 < t.size() && t[i0] < hi)
      ++i0;
    size_t i1 = i0;
    while (i1 < t.size() && t[i1] <= lo)
      ++i1;
    const Line late = Fit(t, level, i0, i1);
    if (!late.ok || !(late.b < 0.0)) break;
    line = late;
    const double next = std::clamp((noiseDb - line.a) / line.b, 0.0, seconds);
    const bool settled = std::fabs(next - crossing) < width;
    crossing = next;
    if (settled) break;
  }
  // A decay faster than the first interval would read low there; the late line's start
  // (the same for a single slope, below the curve for a double one) keeps it honest.
  tr.startDb = std::max(tr.startDb, line.a);
  tr.ok = true;
  tr.crossing = crossing;
  tr.noise = noise;
  tr.slope = line.b;
  return tr;
}

// The line's correlation and the time over the part of the curve from `upper` to `lower` dB.
DecayTime Regress(const std::vector<double>& curve, double rate, double upper, double lower,
                  double rangeDb, double required) {
  DecayTime d;
  size_t i0 = 0;
  while (i0 < curve.size() && curve[i0] > upper)
    ++i0;
  size_t i1 = i0;
  while (i1 < curve.size() && curve[i1] > lower)
    ++i1;
  if (i1 >= curve.size()) {
    d.reason = "the decay does not reach " + Db(lower) + " dB before the noise";
  } else {
    std::vector<double> x(i1 + 1 - i0), y(i1 + 1 - i0);
    for (size_t i = i0; i <= i1; ++i) {
      x[i - i0] = static_cast<double>(i) / rate;
      y[i - i0] = curve[i];
    }
    const Line l = Fit(x, y, 0, x.size());
    if (!l.ok || !(l.b < 0.0)) {
      d.reason = "no decay between " + Db(upper) + " and " + Db(lower) + " dB";
    } else {
      d.r = l.r;
      d.seconds = -60.0 / l.b;
    }
  }
  if (rangeDb < required) {
    d.seconds = kNaN;
    d.reason = "needs " + Db(required) + " dB of decay above the noise, the response has " +
               Db(rangeDb) + " dB";
  }
  return d;
}

void Refuse(RoomParameters* p, const std::string& why) {
  p->edt.reason = p->t20.reason = p->t30.reason = p->energyReason = why;
}

}  // namespace

RoomParameters AnalyseDecay(const double* h, int64_t frames, double rate, double midHz,
                            double onsetSeconds) {
  RoomParameters p;
  p.band = "broadband";
  p.midHz = midHz;
  p.curveRate = rate;
  if (frames < 1 || !(rate > 0.0)) {
    Refuse(&p, "no response");
    return p;
  }
  double peak = 0.0;
  for (int64_t i = 0; i < frames; ++i) {
    if (!std::isfinite(h[i])) {
      Refuse(&p, "the response holds samples that are not numbers");
      return p;
    }
    peak = std::max(peak, h[i] * h[i]);
  }
  if (!(peak > 0.0)) {
    Refuse(&p, "the response is silent");
    return p;
  }
  // The onset: where the energy first comes within 20 dB of its peak.
  int64_t onset = 0;
  if (std::isfinite(onsetSeconds)) {
    onset = std::clamp<int64_t>(std::llround(onsetSeconds * rate), 0, frames - 1);
  } else {
    while (h[onset] * h[onset] < 0.01 * peak)
      ++onset;
  }
  p.onsetSeconds = static_cast<double>(onset) / rate;
  std::vector<double> e(static_cast<size_t>(frames - onset));
  for (size_t i = 0; i < e.size(); ++i)
    e[i] = h[onset + static_cast<int64_t>(i)] * h[onset + static_cast<int64_t>(i)];

  const Truncation tr = FindTruncation(e, rate, midHz);
  if (!tr.ok) {
    Refuse(&p, tr.reason);
    return p;
  }
  const double noiseDb = 10.0 * std::log10(tr.noise);
  p.noiseDb = noiseDb - tr.startDb;
  p.rangeDb = tr.startDb - noiseDb;
  p.truncationSeconds = p.onsetSeconds + tr.crossing;
  const int64_t cut =
      std::clamp<int64_t>(std::llround(tr.crossing * rate), 1, static_cast<int64_t>(e.size()));
  // The energy the noise hides past the crossing, from the late decay's line: it meets the
  // noise level there and falls on at its slope.
  const double kappa = -tr.slope * std::log(10.0) / 10.0 / rate;  // per sample
  const double q = std::exp(-kappa);
  const double tail = tr.noise * q / (1.0 - q);
  const double tc = static_cast<double>(cut) / rate;
  const double tailMoment = tr.noise * q / (1.0 - q) * (tc + 1.0 / (rate * (1.0 - q)));

  // Backward integral of the energy less the noise's mean (the noise would otherwise bend
  // the curve's lower part up); sums in long double keep a long response's early part exact.
  std::vector<double> s(static_cast<size_t>(cut));
  long double sum = tail, moment = tailMoment;
  for (int64_t i = cut - 1; i >= 0; --i) {
    const double v = e[static_cast<size_t>(i)] - tr.noise;
    sum += v;
    moment += static_cast<long double>(v) * (static_cast<double>(i) / rate);
    s[static_cast<size_t>(i)] = std::max(static_cast<double>(sum), tail * 1e-3);
  }
  const double total = s[0];
  p.curveDb.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i)
    p.curveDb[i] = 10.0 * std::log10(s[i] / total);

  p.edt = Regress(p.curveDb, rate, 0.0, -10.0, p.rangeDb, kRequiredRangeEdtDb);
  p.t20 = Regress(p.curveDb, rate, -5.0, -25.0, p.rangeDb, kRequiredRangeT20Db);
  p.t30 = Regress(p.curveDb, rate, -5.0, -35.0, p.rangeDb, kRequiredRangeT30Db);

  const int64_t i50 = std::llround(0.05 * rate), i80 = std::llround(0.08 * rate);
  if (p.rangeDb < kRequiredRangeEnergyDb) {
    p.energyReason = "needs " + Db(kRequiredRangeEnergyDb) +
                     " dB of decay above the noise, the response has " + Db(p.rangeDb) + " dB";
  } else if (cut <= i80) {
    p.energyReason = "the response meets its noise within 80 ms of its onset";
  } else {
    const double late50 = s[static_cast<size_t>(i50)], late80 = s[static_cast<size_t>(i80)];
    p.c50Db = 10.0 * std::log10((total - late50) / late50);
    p.c80Db = 10.0 * std::log10((total - late80) / late80);
    p.d50Pct = 100.0 * (total - late50) / total;
    p.tsMs = 1000.0 * static_cast<double>(moment) / total;
  }
  return p;
}

std::vector<double> BackwardOctaveBand(const OctaveFilterBank& bank, const double* h,
                                       int64_t frames, int band, double* bandRate,
                                       double* startSeconds) {
  const double rate = bank.Rate();
  const double mid = bank.Bands()[static_cast<size_t>(band)].mid;
  // Room for the filters' ringing, which lands before the response once it is reversed back.
  const int64_t pad = std::llround(rate * (0.05 + 20.0 / mid));
  std::vector<double> reversed(static_cast<size_t>(frames + pad), 0.0);
  for (int64_t i = 0; i < frames; ++i)
    reversed[static_cast<size_t>(i)] = h[frames - 1 - i];
  double r = rate, delay = 0.0;
  std::vector<double> y =
      bank.FilterBand(band, reversed.data(), static_cast<long>(reversed.size()), &r, &delay);
  std::reverse(y.begin(), y.end());
  // Reversed output j holds reversed time j / r - delay, that is forward time
  // (frames - 1) / rate - j / r + delay; after the flip, sample 0 is j = size - 1.
  const double last = static_cast<double>(y.size()) - 1.0;
  if (bandRate) *bandRate = r;
  if (startSeconds) *startSeconds = (static_cast<double>(frames) - 1.0) / rate - last / r + delay;
  return y;
}

std::vector<int> RoomOctaveBands(double rate) {
  std::vector<int> out;
  const std::vector<FractionalBand> bands = FractionalBands(1, rate);
  for (size_t i = 0; i < bands.size(); ++i)
    if (bands[i].mid > 50.0 && bands[i].mid < 9000.0) out.push_back(static_cast<int>(i));
  return out;
}

int64_t MaxRoomResponseFrames() {
  return kMaxFrames;
}

RoomAcoustics AnalyseRoom(const double* h, int64_t frames, double rate) {
  RoomAcoustics room;
  if (frames < 1) {
    room.error = "the response is empty";
    return room;
  }
  if (frames > kMaxFrames) {
    room.error = "the response is longer than " + std::to_string(kMaxFrames) + " frames";
    return room;
  }
  if (!(rate >= 8000.0) || !std::isfinite(rate)) {
    room.error = "the response's rate is below 8000 Hz";
    return room;
  }
  bool sound = false;
  for (int64_t i = 0; i < frames; ++i) {
    if (!std::isfinite(h[i])) {
      room.error = "the response holds samples that are not numbers";
      return room;
    }
    sound = sound || h[i] != 0.0;
  }
  if (!sound) {
    room.error = "the response is silent";
    return room;
  }
  room.broadband = AnalyseDecay(h, frames, rate);
  const OctaveFilterBank bank(1, rate, 1);
  for (int b : RoomOctaveBands(rate)) {
    double r = 0.0, start = 0.0;
    const std::vector<double> y = BackwardOctaveBand(bank, h, frames, b, &r, &start);
    const FractionalBand& band = bank.Bands()[static_cast<size_t>(b)];
    RoomParameters p = AnalyseDecay(y.data(), static_cast<int64_t>(y.size()), r, band.mid,
                                    room.broadband.onsetSeconds - start);
    p.band = band.label;
    p.onsetSeconds += start;
    p.truncationSeconds += start;
    room.bands.push_back(std::move(p));
  }
  room.valid = true;
  return room;
}
