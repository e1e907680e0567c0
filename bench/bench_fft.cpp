// The FFT engine against FFTW3's real-to-complex transform doing the same work per block:
// window, transform and normalised magnitudes of bins 0..N/2-1.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchRecorder.h"
#include "Fft.h"

namespace {

std::vector<double> Block(uint32_t n) {
  std::vector<double> s(n);
  for (uint32_t i = 0; i < n; ++i)
    s[i] = std::round(20000 * std::sin(0.01 * i) + 300 * std::cos(1.3 * i));
  return s;
}

void BM_Engine(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const auto samples = Block(n);
  FFT engine(n);
  std::vector<double> levels(n / 2);
  for (auto _ : state) {
    engine.Process(samples.data(), WindowBlackmanHarris);
    engine.CopyLevels(levels.data(), static_cast<int>(n / 2));
    benchmark::DoNotOptimize(levels.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_Fftw(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const auto samples = Block(n);
  FFT tables(n);
  tables.MakeWindow(WindowBlackmanHarris);
  const std::vector<double> window(tables.WindowTable.begin(), tables.WindowTable.end());
  const double power = tables.WindowPower();
  double* in = fftw_alloc_real(n);
  fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_MEASURE);
  std::vector<double> levels(n / 2);
  const uint32_t h = n / 2;
  const double scale = static_cast<double>(h) * h * power;
  for (auto _ : state) {
    for (uint32_t i = 0; i < n; ++i)
      in[i] = samples[i] * (1.0 / 32768.0) * window[i];
    fftw_execute(plan);
    for (uint32_t k = 0; k < h; ++k)
      levels[k] = std::sqrt((out[k][0] * out[k][0] + out[k][1] * out[k][1]) / scale);
    benchmark::DoNotOptimize(levels.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
  fftw_destroy_plan(plan);
  fftw_free(out);
  fftw_free(in);
}

}  // namespace

// Every length the program offers.
BENCHMARK(BM_Engine)->RangeMultiplier(2)->Range(256, 32768);
BENCHMARK(BM_Fftw)->RangeMultiplier(2)->Range(256, 32768);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  for (uint32_t n = 256; n <= 32768; n *= 2) {
    const std::string arg = std::to_string(n);
    std::pair<double, double> ours, fftw;
    if (!recorder.Median("BM_Engine/" + arg, ours) || !recorder.Median("BM_Fftw/" + arg, fftw))
      continue;
    // CPU time: on a shared machine the wall clock also counts other processes.
    const double ratio = ours.second / fftw.second;
    const double wall = ours.first / fftw.first;
    std::printf(
        "fft%u_vs_fftw: %.2fx (goal <= 2x) %s [CPU time, median of repetitions; wall clock %.2fx; "
        "%.2f us vs %.2f us]\n",
        n, ratio, ratio <= 2.0 ? "met" : "MISSED", wall, ours.second * 1e6, fftw.second * 1e6);
  }
  benchmark::Shutdown();
  return 0;
}
