#include "Distortion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Peakfinder.h"

namespace {

constexpr int kNoise = -1;
constexpr int kDc = 0;
constexpr int kFundamental = 1;
constexpr int kHarmonics = 10;

double PowerDb(double ratio) {
  const double floor = std::pow(10.0, kDistortionFloorDb / 10.0);
  return 10.0 * std::log10(std::max(ratio, floor));
}

double Percent(double ratio) {
  return 100.0 * std::sqrt(std::max(ratio, 0.0));
}

struct Spectrum {
  const std::vector<double>& power;
  std::vector<int>& owner;
  int window;
  double n;
  int bins;
  int halfLobe;
};

// Gives the unclaimed bins of the main lobe around `centre` to `who`.
void ClaimLobe(Spectrum& s, double centre, int who) {
  const int lo = std::max(0, static_cast<int>(std::ceil(centre - s.halfLobe)));
  const int hi = std::min(s.bins - 1, static_cast<int>(std::floor(centre + s.halfLobe)));
  for (int k = lo; k <= hi; ++k)
    if (s.owner[k] == kNoise) s.owner[k] = who;
}

// A strong tone's side lobes rise above the noise far from its main lobe (a full-scale tone
// under "Blackman Harris" for a thousand bins and more). They belong to the tone, not to the
// noise: the unclaimed bins out to where the window's response puts the tone `threshold` below
// are given to `who`. The scan stops after a long stretch below it; side lobes fall with
// distance.
void ClaimSideLobes(Spectrum& s, double centre, double peakPower, double threshold, int who) {
  if (!(peakPower > threshold)) return;
  const int cap = std::max(s.halfLobe + 1, s.bins / 8);
  constexpr int kQuietRun = 64;
  int reach = s.halfLobe;
  for (int d = s.halfLobe + 1, quiet = 0; d <= cap && quiet < kQuietRun; ++d) {
    bool loud = false;
    for (double k : {std::floor(centre) - d + 1, std::ceil(centre) + d - 1}) {
      const double r = WindowResponse(s.window, s.n, k - centre);
      if (peakPower * r * r > threshold) loud = true;
    }
    if (loud) {
      reach = d;
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  const int lo = std::max(0, static_cast<int>(std::floor(centre)) - reach + 1);
  const int hi = std::min(s.bins - 1, static_cast<int>(std::ceil(centre)) + reach - 1);
  for (int k = lo; k <= hi; ++k)
    if (s.owner[k] == kNoise) s.owner[k] = who;
}

}  // namespace

DistortionResult MeasureDistortion(const double* magnitudes, int window, double rate,
                                   double fftLength, double bandFrom, double bandTo) {
  DistortionResult result;
  const int bins = static_cast<int>(fftLength / 2);
  if (!magnitudes || bins < 4 || !(rate > 0)) return result;
  const double binHz = rate / fftLength;
  const int halfLobe = static_cast<int>(MainLobeWidth(window) / 2);

  std::vector<double> levels(bins), power(bins);
  for (int k = 0; k < bins; ++k) {
    const double m = std::isfinite(magnitudes[k]) ? std::fabs(magnitudes[k]) : 0.0;
    power[k] = m * m;
    levels[k] = 20.0 * std::log10(std::max(m, 1e-11));
  }
  // The fundamental: the highest tone, next to DC included; DC and its leakage are none.
  const PeakEstimate peak = FindTone(levels.data(), window, rate, fftLength, 0, rate / 2);
  if (peak.BelowResolution) result.BelowResolution = true;
  if (!peak.Found || !(peak.Level > -200)) return result;

  const double enbw = EquivalentNoiseBandwidth(window, fftLength);
  const double fundamental = std::pow(10.0, peak.Level / 10.0) * enbw;  // amplitude squared
  result.Valid = true;
  result.FundamentalHz = peak.Frequency;
  result.FundamentalDb = 10.0 * std::log10(fundamental);

  std::vector<int> owner(bins, kNoise);
  Spectrum s{power, owner, window, fftLength, bins, halfLobe};
  int harmonics = 0;
  while (harmonics < kHarmonics - 1 && (harmonics + 2) * peak.Bin < bins)
    ++harmonics;
  result.HarmonicCount = harmonics;

  ClaimLobe(s, 0.0, kDc);
  ClaimLobe(s, peak.Bin, kFundamental);
  for (int h = 2; h <= harmonics + 1; ++h)
    ClaimLobe(s, h * peak.Bin, h);

  // Band of the noise figures; bin k stands for k * binHz.
  if (!(bandFrom >= 0)) bandFrom = 0;
  if (!(bandTo <= rate / 2)) bandTo = rate / 2;
  const int bandLo = std::max(0, static_cast<int>(std::ceil(bandFrom / binHz - 1e-9)));
  const int bandHi = std::min(bins - 1, static_cast<int>(std::floor(bandTo / binHz + 1e-9)));
  if (bandLo > bandHi) return {};

  // A first noise density, robust against tones: the median power of the unclaimed band bins
  // (the median of an exponential distribution is ln 2 times its mean).
  std::vector<double> quiet;
  for (int k = bandLo; k <= bandHi; ++k)
    if (owner[k] == kNoise) quiet.push_back(power[k]);
  double density = 0;
  if (!quiet.empty()) {
    auto mid = quiet.begin() + static_cast<long>(quiet.size() / 2);
    std::nth_element(quiet.begin(), mid, quiet.end());
    density = *mid / std::log(2.0);
  }
  // Side lobes count as the tone's down to 10 dB below the noise of one bin. In a spectrum
  // without noise a floor far below any measurement keeps the reach finite.
  const double threshold = std::max(0.1 * density, fundamental * 1e-20);

  // Near a low fundamental the harmonics' lobes lie on the fundamental's and DC's side lobes:
  // what those leak into a harmonic's bins is theirs (bin 0 taken as DC, an upper bound).
  const double centred = fundamental / enbw;
  std::vector<double> owned(static_cast<size_t>(bins), -1.0);  // computed when first asked for
  auto own = [&](int k) {
    double& o = owned[static_cast<size_t>(k)];
    if (o < 0) {
      const double below = WindowResponse(window, fftLength, k - peak.Bin);
      const double above = WindowResponse(window, fftLength, k + peak.Bin);
      const double dc = WindowResponse(window, fftLength, k);
      o = std::max(0.0, power[k] - centred * (below * below + above * above) - power[0] * dc * dc);
    }
    return o;
  };
  auto lobePower = [&](int who) {
    double sum = 0;
    int count = 0;
    for (int k = 0; k < bins; ++k)
      if (owner[k] == who) {
        sum += own(k);
        ++count;
      }
    return std::max(0.0, sum - density * count);
  };
  ClaimSideLobes(s, 0.0, power[0], threshold, kDc);
  ClaimSideLobes(s, peak.Bin, fundamental / enbw, threshold, kFundamental);
  for (int h = 2; h <= harmonics + 1; ++h)
    ClaimSideLobes(s, h * peak.Bin, lobePower(h) / enbw, threshold, h);

  // The noise density proper: the mean of what is left in the band.
  double noiseSum = 0;
  int noiseBins = 0, bandBins = 0, toneBins = 0;
  double harmonicsInBand = 0;
  for (int k = bandLo; k <= bandHi; ++k) {
    ++bandBins;
    if (owner[k] == kNoise) {
      noiseSum += power[k];
      ++noiseBins;
    } else if (owner[k] >= 2) {
      harmonicsInBand += own(k);
    } else {
      ++toneBins;
    }
  }
  if (noiseBins > 0) density = noiseSum / noiseBins;

  double harmonicSum = 0;
  for (int h = 2; h <= harmonics + 1; ++h) {
    const double p = lobePower(h);
    harmonicSum += p;
    result.HarmonicDb[h] = PowerDb(p / fundamental);
  }
  // Under the fundamental and DC the noise goes on at the density around them.
  const double thdN = (noiseSum + harmonicsInBand + density * toneBins) / fundamental;
  const double noise = density * bandBins / fundamental;

  result.ThdDb = PowerDb(harmonicSum / fundamental);
  result.ThdPct = Percent(harmonicSum / fundamental);
  result.ThdNDb = PowerDb(thdN);
  result.ThdNPct = Percent(thdN);
  result.SinadDb = -result.ThdNDb;
  result.SnrDb = -PowerDb(noise);
  return result;
}
