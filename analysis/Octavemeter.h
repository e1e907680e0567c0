// The octave analyser's meters on the continuous stream: a thread of their own reads what the
// recording thread feeds into a lock-free ring, runs the fractional-octave bank and the sound
// level meters on it and publishes the numbers under one lock for the window to poll.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Calibrationfile.h"
#include "Octavefilterbank.h"
#include "Spectrumconsumer.h"
#include "Streamring.h"

// What the meters show, copied out at once.
struct OctaveMeterReading {
  bool valid = false;  // a bank has run on samples since the last (re)design
  int bandsPerOctave = 3;
  FrequencyWeighting weighting = FrequencyWeighting::A;
  TimeWeighting timeWeighting = TimeWeighting::Fast;
  double rate = 0;
  int channels = 0;
  std::vector<FractionalBand> bands;
  std::vector<double> bandLevel[2];  // chosen time weighting, dB (offset and corrections in)
  std::vector<double> bandLeq[2];
  double level[2] = {};        // broadband, chosen time weighting
  double levelSlow[2] = {};    // broadband, S (what a calibrator is read with)
  double leq[2] = {};          // since the reset
  double intervalLeq[2] = {};  // the running interval so far
  double lastIntervalLeq[2] = {};
  double lmax[2] = {};
  double lmin[2] = {};
  double peak[2] = {};
  double seconds = 0;          // covered by leq
  double intervalSeconds = 1;  // the chosen interval's length
  double intervalElapsed = 0;
  double offsetDb = 0;  // dBFS -> dB SPL, 0 until calibrated
  bool calibrated = false;
  bool microphoneCorrected = false;
  uint64_t frames = 0;  // frames processed since the meters started
  int gaps = 0;         // breaks in the stream since the meters started
};

class OctaveMeter : public StreamConsumer {
 public:
  explicit OctaveMeter(size_t ringCapacity = size_t{1} << 20);
  ~OctaveMeter() override;
  OctaveMeter(const OctaveMeter&) = delete;
  OctaveMeter& operator=(const OctaveMeter&) = delete;

  // Starts the meters' thread afresh (levels from silence) and asks the worker for the stream;
  // Stop ends both. Either thread of the caller's, not the meters'.
  void Start();
  void Stop();
  bool Running() const { return listening_.load(std::memory_order_relaxed); }

  // Settings, any thread; applied by the meters' thread before its next samples. A change of
  // bandwidth or weighting designs the bank afresh (and resets its levels).
  void SetBandsPerOctave(int bandsPerOctave);
  void SetWeighting(FrequencyWeighting weighting);
  void SetTimeWeighting(TimeWeighting weighting);
  void SetIntervalSeconds(double seconds);
  void SetOffsetDb(double offsetDb, bool calibrated);
  // The microphone's response, applied to the bands; nullopt for none.
  void SetMicrophone(std::optional<CalibrationFile> file);
  // Leq, Lmax, Lmin, the peak and the interval start again.
  void Reset();

  OctaveMeterReading Reading() const;

  // StreamConsumer
  bool Listening() const override { return listening_.load(std::memory_order_relaxed); }
  SampleStream* AcquireStream(const void* worker) override;
  void ReleaseStream(const void* worker) override;
  // How often a worker was handed the stream (for the tests of the defaults).
  int StreamsHanded() const { return handed_.load(); }
  const StreamRing& Ring() const { return ring_; }

 private:
  void Run();
  // A settings change under the lock, for the meters' thread to apply at its next turn.
  template <typename F>
  void Change(F&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    ++settingsVersion_;
  }

  StreamRing ring_;
  std::atomic<const void*> holder_{nullptr};
  std::atomic<int> handed_{0};
  std::atomic<bool> listening_{false};

  // Settings and the published reading, under mutex_.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  int bandsPerOctave_ = 3;
  FrequencyWeighting weighting_ = FrequencyWeighting::A;
  TimeWeighting timeWeighting_ = TimeWeighting::Fast;
  double intervalSeconds_ = 1;
  double offsetDb_ = 0;
  bool calibrated_ = false;
  std::optional<CalibrationFile> microphone_;
  uint64_t settingsVersion_ = 0;
  bool resetWanted_ = false;
  OctaveMeterReading reading_;
  std::thread thread_;

  // The meters' thread only.
  std::unique_ptr<OctaveFilterBank> bank_;
  uint64_t appliedVersion_ = ~uint64_t{0};
  uint64_t frames_ = 0;
  int gaps_ = 0;
  bool sawPiece_ = false;
};
