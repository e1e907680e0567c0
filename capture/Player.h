// The generator playing to an output, on a thread of its own: the user-interface thread only
// hands over settings and reads the state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Generator.h"
#include "Outputlist.h"
#include "Playbacksink.h"

class Player {
 public:
  // Starts the thread; nothing sounds until settings with `on` set are given. The stream is
  // opened at the generator's rate, with `channels` (1 or 2) in `format`, and closed whenever
  // the generator is off and has faded out.
  Player(const OutputEntry& output, int channels = 2, SampleFormat format = SampleFormat::Float,
         uint64_t seed = Generator::RandomSeed());
  // A sink of the caller's own (tests).
  Player(std::unique_ptr<PlaybackSink> sink, std::string outputName, int channels,
         SampleFormat format, uint64_t seed);
  // Fades the signal out, lets it play out and stops; waits a bounded time for the thread (a
  // sink stuck in its library is interrupted).
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Any thread: the thread takes these settings whole before its next block (Generator::Apply:
  // fades, ramps and phase-continuous retuning). A periodic noise's period and a pink filter
  // are prepared here, on the caller's thread, so the playing thread never stops for them.
  void SetSettings(const GeneratorSettings& settings);

  // Any thread.
  PlaybackState State() const;
  // "playing", "output gone: <name>", "device busy", ... (empty when idle).
  std::string StateText() const;
  int Underruns() const;
  // Frames handed to the output since the start.
  int64_t FramesPlayed() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};
