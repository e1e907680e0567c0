#include "Distortionreport.h"

#include <algorithm>
#include <charconv>
#include <cmath>

PowerAverage::PowerAverage(int bins, int channels, int averages)
    : bins_(std::max(bins, 0)), channels_(channels == 2 ? 2 : 1), averages_(std::max(averages, 0)) {
  const size_t slots = averages_ > 0 ? static_cast<size_t>(averages_) : 1;
  powers_.assign(
      static_cast<size_t>(channels_),
      std::vector<std::vector<double>>(slots, std::vector<double>(static_cast<size_t>(bins_))));
}

void PowerAverage::Add(const double* const* magnitudes) {
  const size_t slot = averages_ > 0 ? static_cast<size_t>(blocks_ % averages_) : 0;
  for (int c = 0; c < channels_; ++c) {
    const double* m = magnitudes[c];
    std::vector<double>& p = powers_[static_cast<size_t>(c)][slot];
    for (size_t k = 0; k < p.size(); ++k) {
      const double power = std::isfinite(m[k]) ? m[k] * m[k] : 0.0;
      p[k] = averages_ > 0 ? power : p[k] + power;
    }
  }
  ++blocks_;
}

std::vector<double> PowerAverage::Magnitude(int channel) const {
  if (blocks_ == 0 || channel < 0 || channel >= channels_) return {};
  const long used = averages_ > 0 ? std::min<long>(blocks_, averages_) : blocks_;
  const auto& slots = powers_[static_cast<size_t>(channel)];
  const size_t summed = averages_ > 0 ? static_cast<size_t>(used) : 1;
  std::vector<double> magnitude(static_cast<size_t>(bins_));
  for (size_t k = 0; k < magnitude.size(); ++k) {
    double sum = 0;
    for (size_t s = 0; s < summed; ++s)
      sum += slots[s][k];
    magnitude[k] = std::sqrt(sum / static_cast<double>(used));
  }
  return magnitude;
}

DistortionMeter::DistortionMeter(int length, int channels, int averages)
    : length_(length),
      channels_(channels == 2 ? 2 : 1),
      engine_(std::make_unique<FFT>(static_cast<uint32_t>(length))),
      powers_(length / 2, channels, averages) {}

DistortionMeter::~DistortionMeter() = default;

void DistortionMeter::Add(const double* const* samples, int windowType) {
  const double* rows[2] = {nullptr, nullptr};
  for (int c = 0; c < channels_; ++c) {
    engine_->Process(samples[c], windowType);
    magnitudes_[c].assign(engine_->Levels.begin(), engine_->Levels.begin() + length_ / 2);
    rows[c] = magnitudes_[c].data();
  }
  powers_.Add(rows);
}

std::vector<DistortionResult> DistortionMeter::Measure(int windowType, double samplingRate) const {
  std::vector<DistortionResult> results(static_cast<size_t>(channels_));
  if (powers_.Blocks() == 0) return results;
  for (int c = 0; c < channels_; ++c) {
    const std::vector<double> magnitude = powers_.Magnitude(c);
    results[static_cast<size_t>(c)] =
        MeasureDistortion(magnitude.data(), windowType, samplingRate, length_);
  }
  return results;
}

std::string FormatFixed(double v, int decimals) {
  if (!std::isfinite(v)) return "nan";
  // -0.000 reads as 0.000.
  if (std::fabs(v) < 0.5 * std::pow(10.0, -decimals)) v = 0.0;
  char buffer[400];
  const auto r =
      std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, decimals);
  return std::string(buffer, r.ptr);
}

int PercentDecimals(double pct, int maxDecimals) {
  return pct > 0 && std::isfinite(pct)
             ? std::clamp(3 - static_cast<int>(std::floor(std::log10(pct))), 2, maxDecimals)
             : 2;
}

namespace {

std::string Percent(double pct) {
  return FormatFixed(pct, PercentDecimals(pct, 8));
}

}  // namespace

std::string FormatDistortionLines(const DistortionResult& r, const std::string& channel,
                                  double corrFactor) {
  const bool ok = r.Valid;
  const auto value = [ok](double v, int decimals) { return ok ? FormatFixed(v, decimals) : "nan"; };
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
