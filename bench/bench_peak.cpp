// The peak interpolation behind the chart's peak markers and the measurement window: finding
// the highest peak of a block and estimating it between bins, per call, at the defaults (2048
// points, Hann) and at 32768 points. Context for the figures, not a goal of its own.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchRecorder.h"
#include "Peakfinder.h"

namespace {

constexpr double kRate = 44100;
constexpr int kHann = 1;

// Levels of a tone between bins over a noise floor, as a block's level array holds them.
std::vector<double> Levels(int length, double toneBin) {
  std::vector<double> levels(static_cast<size_t>(length / 2));
  for (size_t k = 0; k < levels.size(); ++k) {
    const double d = static_cast<double>(k) - toneBin;
    const double r = std::fabs(WindowResponse(kHann, length, d));
    levels[k] = std::max(-120.0 + 3 * std::sin(0.37 * static_cast<double>(k)),
                         -6 + 20 * std::log10(std::max(r, 1e-12)));
  }
  return levels;
}

// The highest peak over the whole band, as a peak marker asks for it at every block.
void BM_FindPeak(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  const std::vector<double> levels = Levels(length, length / 43.7);
  for (auto _ : state)
    benchmark::DoNotOptimize(FindPeak(levels.data(), kHann, kRate, length, 0, kRate / 2));
}
BENCHMARK(BM_FindPeak)->Arg(2048)->Arg(32768);

// The interpolation alone, around a known peak bin.
void BM_EstimatePeak(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  const double tone = length / 43.7;
  const std::vector<double> levels = Levels(length, tone);
  const int index = static_cast<int>(std::lround(tone));
  for (auto _ : state)
    benchmark::DoNotOptimize(EstimatePeak(levels.data(), kHann, kRate, length, index));
}
BENCHMARK(BM_EstimatePeak)->Arg(2048)->Arg(32768);

// The tone wherever it is, as "Peak" and the distortion window ask for it: 60 Hz hum inside
// DC's main lobe, fitted together with DC, at the defaults' window ("Blackman Harris").
void BM_FindToneNextToDc(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  constexpr int kBlackmanHarris = 3;
  std::vector<double> levels(static_cast<size_t>(length / 2));
  const double tone = 60.0 / (kRate / length);
  for (size_t k = 0; k < levels.size(); ++k) {
    const double x = static_cast<double>(k);
    const double dc = 0.1 * WindowResponse(kBlackmanHarris, length, x);
    const double t = 0.5 * (WindowResponse(kBlackmanHarris, length, x - tone) +
                            WindowResponse(kBlackmanHarris, length, x + tone));
    levels[k] =
        std::max(-120.0 + 3 * std::sin(0.37 * x), 20 * std::log10(std::fabs(dc + t) + 1e-12));
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(FindTone(levels.data(), kBlackmanHarris, kRate, length, 0, kRate / 2));
}
BENCHMARK(BM_FindToneNextToDc)->Arg(2048)->Arg(32768);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  std::pair<double, double> find2k, find32k, est2k;
  if (recorder.Median("BM_EstimatePeak/2048", est2k) &&
      recorder.Median("BM_FindPeak/2048", find2k) && recorder.Median("BM_FindPeak/32768", find32k))
    std::printf(
        "# peak_interpolation_per_call: %.2f us to interpolate one peak, %.2f us to find and "
        "interpolate the highest of 1024 bins, %.2f us of 16384 bins [CPU time, median of "
        "repetitions]\n",
        est2k.second * 1e6, find2k.second * 1e6, find32k.second * 1e6);
  std::pair<double, double> tone2k, tone32k;
  if (recorder.Median("BM_FindToneNextToDc/2048", tone2k) &&
      recorder.Median("BM_FindToneNextToDc/32768", tone32k))
    std::printf(
        "# tone_next_to_dc_per_call: %.0f us to find 60 Hz hum inside DC's lobe of 1024 bins, "
        "%.0f us of 16384 bins [CPU time, median of repetitions]\n",
        tone2k.second * 1e6, tone32k.second * 1e6);
  benchmark::Shutdown();
  return 0;
}
