// Adding one block of 16384 bins to an 800 x 600 spectrogram on the log axis (the level kept
// in the history, its rows found and coloured, its column written), against the one FFT that
// makes such a block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchRecorder.h"
#include "Fft.h"
#include "Spectrogramcore.h"

namespace {

constexpr int kLength = 32768;
constexpr int kBins = kLength / 2;
constexpr double kRate = 44100;

// A few different blocks, so that no two columns in a row are the same.
struct Blocks {
  std::vector<double> frequency;
  std::vector<std::vector<double>> levels;
  Blocks() : frequency(kBins), levels(8, std::vector<double>(kBins)) {
    for (int k = 0; k < kBins; ++k)
      frequency[k] = k * (kRate / kLength);
    for (int b = 0; b < 8; ++b)
      for (int k = 0; k < kBins; ++k)
        levels[b][k] = -90 + 30 * std::sin(0.001 * k * (b + 1)) + (k % 97 == b ? 80 : 0);
  }
  SpectrumBlock Block(int i) const {
    SpectrumBlock block;
    block.Bins = kBins;
    block.SamplingRate = kRate;
    block.FFTLength = kLength;
    block.Frequency = frequency.data();
    block.LevelL = levels[i % 8].data();
    return block;
  }
};

// columnsPerBlock 1: one pixel column per block (a history of 800 blocks); 0: the default
// 20 s, where a 0.74 s block is about 30 columns wide.
void BM_SpectrogramColumn(benchmark::State& state) {
  const Blocks blocks;
  Spectrogram s;
  s.SetScale(FrequencyScale::Logarithmic);
  s.SetFrequencyLimits(10, 22050);
  s.SetSize(800, 600);
  if (state.range(0) == 1) s.SetHistorySeconds(800 * kLength / kRate);
  // A full history first: the steady state, where every column replaces the oldest.
  for (int i = 0; i < 1000; ++i)
    s.Add(blocks.Block(i));
  s.Render();
  int i = 0;
  for (auto _ : state) {
    s.Add(blocks.Block(++i));
    s.Render();
    benchmark::DoNotOptimize(s.Pixels());
  }
}

void BM_Fft(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<double> samples(n);
  for (uint32_t i = 0; i < n; ++i)
    samples[i] = std::round(20000 * std::sin(0.01 * i) + 300 * std::cos(1.3 * i));
  FFT engine(n);
  for (auto _ : state) {
    engine.Process(samples.data(), WindowHanning);
    benchmark::DoNotOptimize(engine.Levels.data());
  }
}

}  // namespace

BENCHMARK(BM_SpectrogramColumn)->Arg(1)->Arg(0);
BENCHMARK(BM_Fft)->Arg(kLength)->Arg(kBins);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BenchRecorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  std::pair<double, double> column, wide, fft, fftHalf;
  if (recorder.Median("BM_SpectrogramColumn/1", column) &&
      recorder.Median("BM_Fft/" + std::to_string(kLength), fft)) {
    // CPU time: on a shared machine the wall clock also counts other processes.
    const double us = column.second * 1e6;
    const double ratio = column.second / fft.second;
    const bool met = us <= 20.0 && ratio <= 0.1;
    std::printf(
        "spectrogram_column_us: %.2f us (goal <= 20 us), %.3fx one %d-point FFT (goal <= "
        "0.1x) %s [16384 bins into 800 x 600, log axis, one column per block; CPU time; wall "
        "clock %.2f us]\n",
        us, ratio, kLength, met ? "met" : "MISSED", column.first * 1e6);
  }
  if (recorder.Median("BM_SpectrogramColumn/0", wide))
    std::printf("# spectrogram_column_us at the default 20 s (a block ~30 columns wide): %.2f us\n",
                wide.second * 1e6);
  if (recorder.Median("BM_SpectrogramColumn/1", column) &&
      recorder.Median("BM_Fft/" + std::to_string(kBins), fftHalf))
    std::printf("# spectrogram_column_vs_fft%d: %.3fx\n", kBins, column.second / fftHalf.second);
  benchmark::Shutdown();
  return 0;
}
