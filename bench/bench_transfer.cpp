// The two-channel core on a 48 kHz stereo stream: one delay search over 1 s either way, and the
// CPU of the transfer function at 16384 points, 75 % overlap, 1/24-octave smoothing, a result
// formed after every new block (what a window shown would ask for). The window's own drawing is
// not in these figures.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "BenchRecorder.h"
#include "Delayfinder.h"
#include "Transferfunction.h"

namespace {

constexpr int kRate = 48000;
constexpr int kPeriod = 1024;  // frames handed over at a time, as a capture period
constexpr int kDelay = 531;    // samples

// Seconds of noise (reference) and the same 531 samples later with noise 30 dB down
// (measurement).
struct Stream {
  std::vector<double> reference, measurement;
};
Stream Noise(int seconds) {
  std::mt19937 random(7);
  std::normal_distribution<double> gauss(0.0, 3000.0), small(0.0, 95.0);
  Stream s;
  const size_t n = static_cast<size_t>(seconds) * kRate;
  s.reference.resize(n);
  s.measurement.resize(n);
  for (size_t i = 0; i < n; ++i)
    s.reference[i] = gauss(random);
  for (size_t i = 0; i < n; ++i)
    s.measurement[i] = (i >= kDelay ? s.reference[i - kDelay] : 0.0) + small(random);
  return s;
}

// One search: the whitened, coherence-weighted spectrum back to lags, the peak within 1 s
// either way and its place between samples, over spectra averaged from 10 s.
void BM_DelayFind(benchmark::State& state) {
  const Stream s = Noise(10);
  Delayfinder finder(kRate, 1.0);
  finder.Push(s.measurement.data(), s.reference.data(), static_cast<int>(s.reference.size()));
  for (auto _ : state) {
    const DelayEstimate e = finder.Find();
    if (!e.Found || std::fabs(e.Samples - kDelay) > 0.05) state.SkipWithError("wrong delay");
    benchmark::DoNotOptimize(e.Samples);
  }
  state.counters["block"] = finder.Length();
}

// Feeding the finder one second of audio (its long blocks' spectra).
void BM_DelayFeed(benchmark::State& state) {
  const Stream s = Noise(6);
  Delayfinder finder(kRate, 1.0);
  // Primed with 5 s so that each second takes its share of blocks.
  finder.Push(s.measurement.data(), s.reference.data(), 5 * kRate);
  for (auto _ : state) {
    for (int done = 0; done < kRate; done += kPeriod)
      finder.Push(s.measurement.data() + 5 * kRate + done, s.reference.data() + 5 * kRate + done,
                  std::min(kPeriod, kRate - done));
    benchmark::DoNotOptimize(finder.Blocks());
  }
}

// One second of audio through the transfer function, a result after every block taken.
void BM_TransferStream(benchmark::State& state) {
  const Stream s = Noise(4);
  TransferSettings settings;
  settings.Length = 16384;
  settings.Smoothing = 24;
  Transferfunction t(settings, kRate);
  if (!t.SetDelay(kDelay)) state.SkipWithError("delay refused");
  // A second ahead, so that the steady state is timed.
  t.Push(s.measurement.data(), s.reference.data(), kRate);
  int results = 0;
  int second = 1;
  for (auto _ : state) {
    // The stream goes on through the four seconds, round and round.
    const double* m = s.measurement.data() + second * kRate;
    const double* r = s.reference.data() + second * kRate;
    second = (second + 1) % 4;
    int taken = t.Averages();
    for (int done = 0; done < kRate; done += kPeriod) {
      t.Push(m + done, r + done, std::min(kPeriod, kRate - done));
      if (t.Averages() != taken) {
        taken = t.Averages();
        benchmark::DoNotOptimize(t.Result().MagnitudeDb.data());
        ++results;
      }
    }
  }
  state.counters["results_per_s"] =
      benchmark::Counter(static_cast<double>(results) / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_DelayFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DelayFeed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransferStream)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  std::pair<double, double> t;
  if (recorder.Median("BM_DelayFind", t))
    std::printf("delay_finder_1s_48k_ms: %.2f [wall clock %.2f ms]\n", t.second * 1000,
                t.first * 1000);
  if (recorder.Median("BM_DelayFeed", t))
    std::printf("# delay_finder_feed_1s_48k_ms: %.2f ms of CPU per second of audio\n",
                t.second * 1000);
  // One iteration is one second of audio: CPU seconds x 100 is the percentage of one core.
  if (recorder.Median("BM_TransferStream", t))
    std::printf("transfer_48k_core_cpu_pct: %.2f [wall clock %.2f %%]\n", t.second * 100,
                t.first * 100);
  benchmark::Shutdown();
  return 0;
}
