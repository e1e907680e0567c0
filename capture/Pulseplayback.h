// Plays to one PulseAudio/PipeWire sink named by the user, with the contract of PlaybackSink.
#pragma once

#include <memory>
#include <string>

#include "Playbacksink.h"

class PulsePlayback : public PlaybackSink {
 public:
  // `sink` is the server's name of the sink (OutputEntry::name); empty for the server's
  // default sink, which the stream then follows.
  explicit PulsePlayback(std::string sink);
  ~PulsePlayback() override;
  PulsePlayback(const PulsePlayback&) = delete;
  PulsePlayback& operator=(const PulsePlayback&) = delete;

  int Write(const PlaybackFormat& format, const double* samples, int frames) override;
  void Drain(int ms) override;
  void Interrupt() override;
  void Release() override;
  PlaybackState State() const override;
  int Underruns() const override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
