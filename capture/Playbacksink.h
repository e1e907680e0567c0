// Where the generator plays to: the system default, an ALSA PCM, a PulseAudio/PipeWire sink.
// The playback counterpart of CaptureSource: every kind keeps one contract, so the player's
// thread never knows which it has.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Samplequantiser.h"

struct OutputEntry;

// What the output is doing, for the generator window's read-out.
enum class PlaybackState {
  Idle,           // nothing played yet, or released
  Playing,        // samples go out
  OutputGone,     // the sink (or its sound server) is not there or does not answer; retried
  DeviceBusy,     // the device is held by another program
  FormatRefused,  // the output refuses the sample format
};

// "playing", "output gone: <name>", "device busy", "format not supported"; empty for Idle.
std::string PlaybackStateText(PlaybackState state, const std::string& outputName);

// The stream's format: the generator's rate, one or two channels, 16/24-bit or float.
struct PlaybackFormat {
  int rate = 48000;
  int channels = 2;
  SampleFormat format = SampleFormat::Float;
  bool operator==(const PlaybackFormat&) const = default;
};

// Full-scale samples as the bytes of a stream: little-endian S16 (TPDF-dithered), S24 in the
// low three bytes of four, or float; never beyond full scale. Every sink converts through one.
class PlaybackBytes {
 public:
  const std::vector<uint8_t>& Convert(const PlaybackFormat& format, const double* samples,
                                      int frames);

 private:
  std::vector<uint8_t> bytes_;
  std::unique_ptr<SampleQuantiser> quantiser_;
  SampleFormat quantiserFormat_ = SampleFormat::Float;
};

class PlaybackSink {
 public:
  virtual ~PlaybackSink() = default;

  // Hands `frames` frames of interleaved full-scale samples (|x| ≤ 1) to the output in
  // `format`, waiting while its buffer is full; returns the frames taken. A format unlike the
  // last one reopens the stream. While the output is missing, busy or stalled, a call lasts
  // the block's duration and returns 0 (the samples are dropped, so the generator keeps its
  // pace), and the output is looked for again: playing resumes by itself once it is back.
  // Returns at the latest after the block's duration plus 1 s, and at once after Interrupt.
  virtual int Write(const PlaybackFormat& format, const double* samples, int frames) = 0;
  // Lets what has been written play out, at most `ms` milliseconds.
  virtual void Drain(int ms) = 0;
  // Any thread: ends the current Write at once; every later Write returns 0 immediately.
  virtual void Interrupt() = 0;
  // Closes the stream; a later Write opens it afresh (unless interrupted).
  virtual void Release() = 0;
  // Any thread.
  virtual PlaybackState State() const = 0;
  // Times the output ran out of samples while playing (any thread).
  virtual int Underruns() const = 0;
};

// The sink that plays to `output`: the server's sink of that name for a Pulse entry, the PCM
// of that name for an ALSA entry; for the default output the server's default sink where
// ALSA's "default" is the server anyway, else ALSA's "default".
std::unique_ptr<PlaybackSink> MakePlaybackSink(const OutputEntry& output);
