// CPU of the fractional-octave bank with A weighting on a 48 kHz stereo stream, in percent of
// one core: processing time over the audio's duration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "BenchRecorder.h"
#include "Octavefilterbank.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 1024;  // frames handed over at a time, as a capture period

// One second of stereo noise with a tone, interleaved, in the 16-bit scale.
std::vector<double> Stream() {
  std::mt19937 random(7);
  std::normal_distribution<double> gauss(0.0, 2000.0);
  std::vector<double> x(2 * kRate);
  for (int i = 0; i < kRate; ++i) {
    const double tone = 8000.0 * std::sin(2 * 3.14159265358979 * 1000.0 * i / kRate);
    x[2 * i] = tone + gauss(random);
    x[2 * i + 1] = gauss(random);
  }
  return x;
}

void BM_OctaveBank(benchmark::State& state) {
  const int b = static_cast<int>(state.range(0));
  OctaveFilterBank bank(b, kRate, 2, FrequencyWeighting::A);
  const std::vector<double> x = Stream();
  for (auto _ : state) {
    for (int done = 0; done < kRate; done += kBlock)
      bank.ProcessInterleaved(x.data() + 2 * done, std::min(kBlock, kRate - done));
    benchmark::DoNotOptimize(bank.BandLeqDb(0, 0));
  }
  state.counters["bands"] = bank.BandCount();
}

}  // namespace

BENCHMARK(BM_OctaveBank)->Arg(24)->Arg(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  // One iteration is one second of audio: CPU seconds x 100 is the percentage of one core.
  std::pair<double, double> t;
  if (recorder.Median("BM_OctaveBank/24", t))
    std::printf("octave_1_24_48k_raw_cpu_pct: %.2f [wall clock %.2f %%]\n", t.second * 100,
                t.first * 100);
  if (recorder.Median("BM_OctaveBank/3", t))
    std::printf("# octave_1_3_48k_cpu_pct: %.2f %%\n", t.second * 100);
  benchmark::Shutdown();
  return 0;
}
