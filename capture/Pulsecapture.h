// Records blocks from one PulseAudio/PipeWire source named by the user (a microphone, a line
// input, the monitor of an output), with the contract of CaptureSession.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Capturesource.h"

class PulseCapture : public CaptureSource {
 public:
  // `source` is the server's name of the source (InputEntry::name), not its description;
  // empty for the server's default source, which the stream then follows when it changes.
  explicit PulseCapture(std::string source);
  ~PulseCapture() override;
  PulseCapture(const PulseCapture&) = delete;
  PulseCapture& operator=(const PulseCapture&) = delete;

  const std::string& Source() const { return source_; }

  // Records `frames` frames of `channels` interleaved S16 samples at `rate` (the server
  // converts rate and channels) into dst, only samples recorded after the call. Returns the
  // number of frames obtained; dst is left untouched beyond them. Returns early on Interrupt and
  // when the stream fails mid-block, and at the latest after the block's duration plus 2 s.
  // While the source is missing, busy or refuses the format, a call lasts the block's duration
  // and returns 0, so a run keeps its block rate with silent blocks; meanwhile the source is
  // looked for again and recording resumes by itself once a source of that name is back.
  int Record(int channels, int rate, int16_t* dst, int frames) override;

  // Any thread: ends the current Record at once; every later Record returns 0 immediately.
  void Interrupt() override;
  bool Interrupted() const override;

  // Closes the stream and the connection. A later Record starts afresh (unless interrupted).
  void Release() override;

  // Any thread.
  CaptureState State() const override;

  struct Impl;

 private:
  std::string source_;
  std::shared_ptr<Impl> impl_;
};
