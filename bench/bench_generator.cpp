// The generator playing into the private sound server that scripts/bench starts: the CPU of
// the whole process while pink noise plays (48 kHz stereo), and the time from On to the first
// block handed to the server.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "Player.h"
#include "Pulseplayback.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

GeneratorSettings Pink(bool on) {
  GeneratorSettings s;
  s.on = on;
  s.signal = GeneratorSignal::Pink;
  s.levelDb = -20;
  s.rate = 48000;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  // The server's default sink, as the window's default output plays to it.
  Player player(std::make_unique<PulsePlayback>(std::string()), "default", 2, SampleFormat::Float,
                1);

  // From On to the first block the server took, ten times.
  std::vector<double> starts;
  for (int i = 0; i < 10; ++i) {
    const int64_t before = player.FramesPlayed();
    const auto t0 = Clock::now();
    player.SetSettings(Pink(true));
    while (player.FramesPlayed() == before && Clock::now() - t0 < std::chrono::seconds(5))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (player.FramesPlayed() == before) {
      std::fprintf(stderr, "bench_generator: nothing reached the server (%s)\n",
                   player.StateText().c_str());
      return 1;
    }
    starts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    player.SetSettings(Pink(false));
    const auto t1 = Clock::now();
    while (player.State() != PlaybackState::Idle && Clock::now() - t1 < std::chrono::seconds(5))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::sort(starts.begin(), starts.end());

  // The CPU of the process (the player's thread and libpulse's work on it) over the run, after
  // a second to settle.
  player.SetSettings(Pink(true));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int underrunsBefore = player.Underruns();
  const int64_t framesBefore = player.FramesPlayed();
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const int64_t frames = player.FramesPlayed() - framesBefore;
  const int underruns = player.Underruns() - underrunsBefore;
  std::printf(
      "generator_cpu_pct: %.3f [process CPU %.3f s over %.1f s, %.1f s of audio handed "
      "over, %d underruns]\n",
      100.0 * cpu / wall, cpu, wall, frames / 48000.0, underruns);
  std::printf(
      "generator_start_ms: %.1f [median of 10 from On to the first block the server "
      "took; fastest %.1f, slowest %.1f]\n",
      starts[starts.size() / 2], starts.front(), starts.back());
  return 0;
}
