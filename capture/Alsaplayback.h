// Plays to an ALSA PCM ("default" unless the user picked another), with the contract of
// PlaybackSink.
#pragma once

#include <memory>
#include <string>

#include "Playbacksink.h"

class AlsaPlayback : public PlaybackSink {
 public:
  explicit AlsaPlayback(std::string device = "default");
  ~AlsaPlayback() override;
  AlsaPlayback(const AlsaPlayback&) = delete;
  AlsaPlayback& operator=(const AlsaPlayback&) = delete;

  // The device is opened non-blocking and waited on with poll, so a Write never blocks past
  // its deadline. An underrun is counted and the stream restarted in place; a device that
  // fails is closed and opened again every 300 ms.
  int Write(const PlaybackFormat& format, const double* samples, int frames) override;
  void Drain(int ms) override;
  void Interrupt() override;
  void Release() override;
  PlaybackState State() const override;
  int Underruns() const override;

  const std::string& DeviceName() const { return device_; }

  struct Impl;

 private:
  std::string device_;
  std::unique_ptr<Impl> impl_;
};
