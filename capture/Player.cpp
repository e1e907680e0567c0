#include "Player.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Pinknoise.h"

namespace {
// One block a hundredth of a second: a settings change is heard within it.
constexpr int kBlocksPerSecond = 100;
}  // namespace

struct Player::Shared {
  std::unique_ptr<PlaybackSink> sink;
  std::string outputName;
  int channels = 2;
  SampleFormat format = SampleFormat::Float;
  uint64_t seed = 1;

  std::mutex mutex;
  std::condition_variable changed;
  std::optional<GeneratorSettings> pending;
  std::vector<double> pendingPeriod;
  GeneratorSettings lastGiven;  // the caller's side, under mutex
  bool stop = false;
  bool finished = false;

  std::atomic<int64_t> framesPlayed{0};

  void Run() {
    Generator generator(GeneratorSettings{}, seed);
    std::vector<double> block;
    bool open = false, stopping = false;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (pending && pending->rate != generator.Settings().rate && !generator.Silent()) {
          // Another rate needs another stream: the signal fades out on this one first.
          GeneratorSettings off = generator.Settings();
          off.on = false;
          generator.Apply(off);
        } else if (pending) {
          generator.Apply(*pending, std::move(pendingPeriod));
          pending.reset();
          pendingPeriod.clear();
        }
        if (stop && !stopping) {
          stopping = true;
          GeneratorSettings off = generator.Settings();
          off.on = false;
          generator.Apply(off);
        }
        if (generator.Silent()) {
          lock.unlock();
          if (open) {
            // What is in the server's buffer is the fade-out: let it play, then close.
            sink->Drain(300);
            sink->Release();
            open = false;
          }
          if (stopping) break;
          lock.lock();
          changed.wait_for(lock, std::chrono::milliseconds(200),
                           [&] { return pending.has_value() || stop; });
          continue;
        }
      }
      const GeneratorSettings& s = generator.Settings();
      const int frames = std::max(1, s.rate / kBlocksPerSecond);
      block.resize(static_cast<size_t>(frames) * channels);
      generator.Render(block.data(), frames, channels);
      const PlaybackFormat f{s.rate, channels, format};
      const int n = sink->Write(f, block.data(), frames);
      open = true;
      framesPlayed += n;
      // Samples the output did not take are lost: when it takes them again, the signal fades
      // in rather than starting at full level.
      if (n < frames) generator.Cut();
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
  }
};

Player::Player(const OutputEntry& output, int channels, SampleFormat format, uint64_t seed)
    : Player(MakePlaybackSink(output), output.description, channels, format, seed) {}

Player::Player(std::unique_ptr<PlaybackSink> sink, std::string outputName, int channels,
               SampleFormat format, uint64_t seed)
    : shared_(std::make_shared<Shared>()) {
  Shared& s = *shared_;
  s.sink = std::move(sink);
  s.outputName = std::move(outputName);
  s.channels = std::clamp(channels, 1, 2);
  s.format = format;
  s.seed = seed;
  std::thread([shared = shared_] { shared->Run(); }).detach();
}

Player::~Player() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stop = true;
  s.changed.notify_all();
  // The fade-out and the server's buffer take well under a second; a sink that hangs is cut
  // short, and its thread (which owns what it uses) ends by itself.
  if (!s.changed.wait_for(lock, std::chrono::milliseconds(1500), [&] { return s.finished; })) {
    lock.unlock();
    s.sink->Interrupt();
    lock.lock();
    s.changed.wait_for(lock, std::chrono::milliseconds(1500), [&] { return s.finished; });
  }
}

void Player::SetSettings(const GeneratorSettings& settings) {
  Shared& s = *shared_;
  std::vector<double> period;
  GeneratorSettings before;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    before = s.lastGiven;
  }
  const bool newPeriod = settings.signal == GeneratorSignal::PeriodicPink &&
                         (before.signal != settings.signal || before.period != settings.period ||
                          before.rate != settings.rate);
  if (newPeriod && GeneratorSettingsProblem(settings).empty())
    period = PeriodicPink(settings.period, settings.rate, Generator::RandomSeed());
  // The pink filter of a rate is fitted once (tens of milliseconds) and then shared: here,
  // not on the playing thread.
  if (settings.signal == GeneratorSignal::Pink && GeneratorSettingsProblem(settings).empty())
    PinkFilter warm(settings.rate);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lastGiven = settings;
  s.pending = settings;
  s.pendingPeriod = std::move(period);
  s.changed.notify_all();
}

PlaybackState Player::State() const {
  return shared_->sink->State();
}

std::string Player::StateText() const {
  return PlaybackStateText(State(), shared_->outputName);
}

int Player::Underruns() const {
  return shared_->sink->Underruns();
}

int64_t Player::FramesPlayed() const {
  return shared_->framesPlayed;
}
