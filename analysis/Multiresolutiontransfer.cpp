#include "Multiresolutiontransfer.h"

#include <algorithm>
#include <bit>
#include <cmath>

Multiresolutiontransfer::Multiresolutiontransfer(const TransferSettings& base, double rate,
                                                 double lowHz, int pointsPerOctave)
    : rate_(rate > 0.0 && std::isfinite(rate) ? rate : 48000.0) {
  pointsPerOctave = std::clamp(pointsPerOctave, 1, 1000);
  if (!(lowHz > 0.0) || !std::isfinite(lowHz)) lowHz = 20.0;
  // An octave from f up holds f N / rate bins.
  const double needed = pointsPerOctave * rate_ / lowHz;
  const int longest = static_cast<int>(
      std::bit_ceil(static_cast<unsigned>(std::clamp(std::ceil(needed), 1024.0, 262144.0))));
  for (int n = longest; n >= 1024; n /= 2) {
    TransferSettings s = base;
    s.Length = n;
    s.Hop = 0;
    parts_.push_back(std::make_unique<Transferfunction>(s, rate_));
    lengths_.push_back(n);
    // The shorter lengths begin where their bins reach pointsPerOctave per octave.
    from_.push_back(n == longest ? rate_ / n : pointsPerOctave * rate_ / n);
  }
}

bool Multiresolutiontransfer::SetDelay(double samples) {
  for (auto& p : parts_)
    if (!p->SetDelay(samples)) return false;
  return true;
}

void Multiresolutiontransfer::SetSmoothing(int fraction) {
  for (auto& p : parts_)
    p->SetSmoothing(fraction);
}

void Multiresolutiontransfer::Push(const double* measurement, const double* reference, int frames) {
  for (auto& p : parts_)
    p->Push(measurement, reference, frames);
}

void Multiresolutiontransfer::Reset() {
  for (auto& p : parts_)
    p->Reset();
}

TransferResult Multiresolutiontransfer::Result() const {
  TransferResult merged;
  merged.Averages = parts_.front()->Averages();
  for (size_t j = 0; j < parts_.size(); ++j) {
    const TransferResult r = parts_[j]->Result();
    const double from = from_[j];
    const double to = j + 1 < parts_.size() ? from_[j + 1] : INFINITY;
    for (size_t k = 1; k < r.Frequency.size(); ++k) {
      const double f = r.Frequency[k];
      if (f < from * (1 - 1e-12) || f >= to * (1 - 1e-12)) continue;
      merged.Frequency.push_back(f);
      merged.MagnitudeDb.push_back(r.MagnitudeDb[k]);
      merged.PhaseDeg.push_back(r.PhaseDeg[k]);
      merged.Coherence.push_back(r.Coherence[k]);
      merged.GroupDelay.push_back(r.GroupDelay[k]);
    }
  }
  return merged;
}
