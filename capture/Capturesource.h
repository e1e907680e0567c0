// What the worker records from: the system default, an ALSA PCM, a PulseAudio/PipeWire
// source. Every kind keeps one contract, so the worker never knows which it has.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Samplestream.h"

struct InputEntry;

// What the capture of an input is doing, for the chart's read-out.
enum class CaptureState {
  Idle,           // nothing asked for yet, or released
  Recording,      // samples arrive
  NoSignal,       // recording, but every sample of the last 2 s was zero (or none came)
  InputGone,      // the source (or its sound server) is not there; retried by itself
  DeviceBusy,     // the device is held by another program
  FormatRefused,  // the source refuses the sample format asked for
};

// The read-out of a state: "recording", "no signal", "input gone: <name>", "device busy";
// empty for Idle.
std::string CaptureStateText(CaptureState state, const std::string& inputName);

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  // Records `frames` frames of `channels` interleaved S16 samples at `rate` into dst, only
  // samples recorded after the call, and returns the frames obtained (dst is untouched beyond
  // them). Returns at the latest after the block's duration plus 2 s, and at once after
  // Interrupt.
  virtual int Record(int channels, int rate, int16_t* dst, int frames) = 0;
  // Any thread: ends the current Record at once; every later Record returns 0 immediately.
  virtual void Interrupt() = 0;
  virtual bool Interrupted() const = 0;
  // Closes the device; a later Record opens it afresh (unless interrupted).
  virtual void Release() = 0;
  // Any thread.
  virtual CaptureState State() const = 0;
  // Blocks whose recording broke or ended short (any thread).
  virtual int BrokenBlocks() const { return 0; }

  // A source with a format of its own (a file) gives its rate and channel count (1 or 2),
  // which the worker then uses instead of the settings; a live input gives {0, 0} and records
  // in whatever format it is asked for.
  struct Format {
    int rate = 0;
    int channels = 0;
  };
  virtual Format OwnFormat() const { return {}; }
  // Sources with a format of their own: the next `frames` frames as doubles in the 16-bit
  // scale, not rounded to 16 bits (right only for two channels). Fewer than `frames` means
  // there is no further whole block: 0 at the end, -1 for a fault.
  virtual int ReadBlock(double* /*left*/, double* /*right*/, int /*frames*/) { return -1; }

  // Sample storage reused by the blocks recorded through this source.
  std::vector<int16_t>& BlockBuffer() { return blockBuffer_; }

  // Where every recorded sample goes besides the blocks (none by default). Set it before the
  // run's first Record; it must outlive the source's use of it.
  void SetStream(SampleStream* stream) { stream_.store(stream, std::memory_order_release); }

 protected:
  // For the sources: pass on samples as they are read, those between blocks included.
  void Feed(const int16_t* samples, int frames, int channels, int rate);
  void Feed(const double* samples, int frames, int channels, int rate);
  void FeedGap();

 private:
  std::vector<int16_t> blockBuffer_;
  std::atomic<SampleStream*> stream_{nullptr};
  std::vector<double> streamBuffer_;
};

// The source that records `input`: ALSA "default" for the default input, the PCM of that
// name for an ALSA entry, the server's source of that name for a Pulse entry, the opened file
// of a File entry.
std::unique_ptr<CaptureSource> MakeCaptureSource(const InputEntry& input);

// Tells "no signal" from "recording": whether every sample of the last 2 s was zero. Written
// by the recording thread, read from any.
class SilenceWatch {
 public:
  // A start counts as the last sound, so a fresh stream is "recording" for its first 2 s.
  void Restart();
  void Add(const int16_t* samples, size_t count);
  bool Silent() const;

 private:
  std::atomic<int64_t> lastSound_{0};
};
