#include "Distortionreport.h"

#include <algorithm>
#include <charconv>
#include <cmath>

DistortionMeter::DistortionMeter(int length, int channels, int averages)
    : length_(length),
      channels_(channels == 2 ? 2 : 1),
      averages_(std::max(averages, 0)),
      engine_(std::make_unique<FFT>(static_cast<uint32_t>(length))) {
  const size_t slots = averages_ > 0 ? static_cast<size_t>(averages_) : 1;
  powers_.assign(static_cast<size_t>(channels_),
                 std::vector<std::vector<double>>(
                     slots, std::vector<double>(static_cast<size_t>(length / 2), 0.0)));
}

DistortionMeter::~DistortionMeter() = default;

void DistortionMeter::Add(const double* const* samples, int windowType) {
  const size_t slot = averages_ > 0 ? static_cast<size_t>(blocks_ % averages_) : 0;
  for (int c = 0; c < channels_; ++c) {
    engine_->Process(samples[c], windowType);
    std::vector<double>& p = powers_[static_cast<size_t>(c)][slot];
    for (size_t k = 0; k < p.size(); ++k) {
      const double m = engine_->Levels[k];
      p[k] = averages_ > 0 ? m * m : p[k] + m * m;
    }
  }
  ++blocks_;
}

std::vector<DistortionResult> DistortionMeter::Measure(int windowType, double samplingRate) const {
  std::vector<DistortionResult> results(static_cast<size_t>(channels_));
  if (blocks_ == 0) return results;
  const long used = averages_ > 0 ? std::min<long>(blocks_, averages_) : blocks_;
  const size_t bins = static_cast<size_t>(length_ / 2);
  std::vector<double> magnitude(bins);
  for (int c = 0; c < channels_; ++c) {
    const auto& slots = powers_[static_cast<size_t>(c)];
    for (size_t k = 0; k < bins; ++k) {
      double sum = 0;
      for (long s = 0; s < (averages_ > 0 ? used : 1); ++s)
        sum += slots[static_cast<size_t>(s)][k];
      magnitude[k] = std::sqrt(sum / static_cast<double>(used));
    }
    results[static_cast<size_t>(c)] =
        MeasureDistortion(magnitude.data(), windowType, samplingRate, length_);
  }
  return results;
}

namespace {

std::string Fixed(double v, int decimals) {
  if (!std::isfinite(v)) return "nan";
  // -0.000 reads as 0.000.
  if (std::fabs(v) < 0.5 * std::pow(10.0, -decimals)) v = 0.0;
  char buffer[400];
  const auto r =
      std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, decimals);
  return std::string(buffer, r.ptr);
}

// Four significant digits, at least two decimals, at most eight.
std::string Percent(double pct) {
  const int decimals =
      pct > 0 ? std::clamp(3 - static_cast<int>(std::floor(std::log10(pct))), 2, 8) : 2;
  return Fixed(pct, decimals);
}

}  // namespace

std::string FormatDistortionLines(const DistortionResult& r, const std::string& channel,
                                  double corrFactor) {
  const bool ok = r.Valid;
  const auto value = [ok](double v, int decimals) { return ok ? Fixed(v, decimals) : "nan"; };
  const std::pair<const char*, std::string> lines[] = {
      {"fundamental_hz", value(r.FundamentalHz, 3) + " Hz"},
      {"fundamental_db", value(r.FundamentalDb + corrFactor, 3) + " dB"},
      {"thd_db", value(r.ThdDb, 2) + " dB"},
      {"thd_pct", (ok ? Percent(r.ThdPct) : "nan") + " %"},
      {"thd_n_db", value(r.ThdNDb, 2) + " dB"},
      {"thd_n_pct", (ok ? Percent(r.ThdNPct) : "nan") + " %"},
      {"sinad_db", value(r.SinadDb, 2) + " dB"},
      {"snr_db", value(r.SnrDb, 2) + " dB"}};
  std::string out;
  for (const auto& [name, text] : lines)
    out += channel + "." + name + ": " + text + "\n";
  return out;
}
