// The impulse-response measurement on a 10 s recording at 48 kHz: the deconvolution of an 8 s
// log sweep's recording and every room-acoustic parameter, broadband and in each octave.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "BenchRecorder.h"
#include "Logsweep.h"
#include "Roomacoustics.h"
#include "Sweepdeconvolution.h"

namespace {

constexpr double kRate = 48000;

struct Recording {
  std::vector<double> sweep, samples;
};

// The sweep through a room of T 1 s (a 2 s response with a floor 60 dB down), by direct
// summation over the response's first 50 ms and the rest left to the floor: the figure's
// inputs only need to look like a measurement, not to be one exactly.
const Recording& TenSeconds() {
  static const Recording r = [] {
    Recording out;
    const LogSweepShape s = SynchronizedLogSweepShape(20, 20000, 8, kRate);
    out.sweep = SynchronizedLogSweep(s, 0.5, 0.01, 0.01);
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const size_t taps = 2400;
    std::vector<double> h(taps);
    for (size_t i = 0; i < taps; ++i)
      h[i] = gauss(random) * std::exp(-6.9 * static_cast<double>(i) / kRate);
    out.samples.assign(static_cast<size_t>(10 * kRate), 0.0);
    for (size_t i = 0; i < out.samples.size(); ++i) {
      double v = 1e-3 * gauss(random);
      for (size_t j = 0; j < taps && j <= i; ++j)
        if (i - j < out.sweep.size()) v += h[j] * out.sweep[i - j];
      out.samples[i] = v;
    }
    return out;
  }();
  return r;
}

void BM_Impulse10s(benchmark::State& state) {
  const Recording& r = TenSeconds();
  for (auto _ : state) {
    const SweepDeconvolution d =
        DeconvolveSweep(r.samples.data(), static_cast<int64_t>(r.samples.size()), r.sweep.data(),
                        static_cast<int64_t>(r.sweep.size()), kRate);
    const RoomAcoustics room =
        AnalyseRoom(d.response.data(), static_cast<int64_t>(d.response.size()), kRate);
    benchmark::DoNotOptimize(room.broadband.t30.seconds);
    state.counters["bands"] = static_cast<double>(room.bands.size());
  }
}

void BM_Deconvolution10s(benchmark::State& state) {
  const Recording& r = TenSeconds();
  for (auto _ : state) {
    const SweepDeconvolution d =
        DeconvolveSweep(r.samples.data(), static_cast<int64_t>(r.samples.size()), r.sweep.data(),
                        static_cast<int64_t>(r.sweep.size()), kRate);
    benchmark::DoNotOptimize(d.response.data());
  }
}

}  // namespace

BENCHMARK(BM_Impulse10s)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Deconvolution10s)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  std::pair<double, double> t, d;
  if (recorder.Median("BM_Impulse10s", t))
    std::printf("impulse_10s_48k_raw_ms: %.1f [CPU %.1f ms]\n", t.first * 1000, t.second * 1000);
  if (recorder.Median("BM_Deconvolution10s", d))
    std::printf("# impulse_10s_48k_deconvolution_ms: %.1f (the rest is the parameters)\n",
                d.first * 1000);
  benchmark::Shutdown();
  return 0;
}
