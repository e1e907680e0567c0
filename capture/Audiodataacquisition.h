// Records blocks of 16-bit PCM from an ALSA PCM: "default" unless the user picked another.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Capturesource.h"

// Whether ALSA's "default" PCM is the PulseAudio plugin recording the server's default source
// (no server, source or fallback of its own): that input is then recorded from the server
// directly, which spares the plugin's thread and its lock on every read.
bool AlsaDefaultIsPulseDefault();

// Whether the machine has an audio output device at all (the start-up warning).
bool AudioOutputDeviceAvailable();

// The capture device of one run. The device stays open between blocks (opening it for every
// block through a sound server costs several milliseconds) and is released by Release or the
// destructor. All device calls run on a thread of the session's own, so a stalled sound
// server or a blocking plugin never holds up the caller beyond a block's deadline.
class CaptureSession : public CaptureSource {
 public:
  // `device` is the PCM's name. "default" keeps the stored behaviour when it cannot be opened
  // (Record returns at once); any other PCM that cannot be opened gives blocks that last
  // their duration and stay silent, so a run keeps its block rate while it is retried.
  explicit CaptureSession(std::string device = "default");
  ~CaptureSession() override;
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  // Records `frames` frames of `channels` interleaved S16 samples at `rate` into dst, only
  // samples recorded after the call (whatever the device gathered before is discarded).
  // Returns the number of frames obtained: the block is one unbroken stretch of the input. A
  // recording that breaks (an overrun, a failing device) is discarded and the block recorded
  // afresh while a whole block still fits in its duration plus 2 s; when the device cannot
  // be opened, on Interrupt and when that deadline has passed it returns at once with what
  // it has. dst is left untouched beyond the frames obtained. The device is (re)opened when
  // channels, rate or block length change, after a failure and after a block that missed its
  // deadline; a device thread that still hangs in the library at the next block is replaced
  // by a fresh one.
  int Record(int channels, int rate, int16_t* dst, int frames) override;

  // Blocks so far whose recording broke (an overrun, a failed or restarted device) or that
  // ended short of their length, whether or not a fresh recording then made them whole
  // (any thread).
  int BrokenBlocks() const override;

  // Any thread: ends the current Record at once; every later Record returns 0 immediately.
  void Interrupt() override;
  bool Interrupted() const override;

  // Closes the device and ends the session's thread (waits a bounded time for it).
  void Release() override;

  // Recording, NoSignal, InputGone (cannot be opened), DeviceBusy, FormatRefused (any thread).
  CaptureState State() const override;
  const std::string& DeviceName() const { return device_; }
  // The opens of the device tried so far: a PCM other than "default" that fails is tried again
  // at most once a second (any thread).
  int OpenAttempts() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> Current() const;
  // Leaves a device thread that hangs in the library to itself and starts afresh; called
  // with s.mutex held.
  void Abandon(Shared& s);

  // Replaced when its device thread hangs; swapMutex_ guards the pointer, not the state.
  mutable std::mutex swapMutex_;
  std::shared_ptr<Shared> shared_;
  std::string device_;
  std::atomic<int> brokenBlocks_{0};
};

class AudioDataAcquisition {
 public:
  // Prepares a cleared block of BlockLength frames; opens its own device.
  AudioDataAcquisition(int NumChannels, int BlockLength, int SamplingRate);
  // The same through a run's source: its device and its storage are reused.
  AudioDataAcquisition(int NumChannels, int BlockLength, int SamplingRate, CaptureSource* session);
  ~AudioDataAcquisition();
  AudioDataAcquisition(const AudioDataAcquisition&) = delete;
  AudioDataAcquisition& operator=(const AudioDataAcquisition&) = delete;

  // Records the block; returns the number of frames recorded (the rest stays zero).
  int AcquireBlock();
  // Raw sample values as doubles, no scaling.
  void GetMono(double* Destination, int Count) const;
  void GetStereo(double* Left, double* Right, int Count) const;
  static void FillBuffer(int16_t* Buffer, int Count, int16_t Value);

  const int16_t* Samples() const { return buffer_->data(); }

 private:
  int numChannels_;
  int blockLength_;
  int samplingRate_;
  std::unique_ptr<CaptureSession> ownSession_;
  CaptureSource* session_;
  std::vector<int16_t> ownBuffer_;
  std::vector<int16_t>* buffer_;
};
