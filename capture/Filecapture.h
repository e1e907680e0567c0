// An audio file as the worker's input: consecutive blocks that do not overlap, as
// tonvista-analyse takes them, paced as live sound or as fast as they are shown.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Audiofile.h"
#include "Capturesource.h"

// What the window and the worker share of one opened file: its format (fixed once opened),
// where the next block begins, the pacing and the last fault. Any thread.
class FileCursor {
 public:
  // Reads the file's header; nullptr with "path: reason" in error when it cannot be read.
  static std::shared_ptr<FileCursor> Open(const std::string& path, std::string* error);

  const std::string& Path() const { return path_; }
  // The file's name without its folder.
  std::string Name() const;
  int Rate() const { return rate_; }
  // 1 or 2: the channels analysed; FileChannels() is the file's own count.
  int Channels() const { return fileChannels_ >= 2 ? 2 : 1; }
  int FileChannels() const { return fileChannels_; }
  int64_t Frames() const { return frames_; }

  // The first frame of the next block.
  int64_t Position() const { return position_.load(); }
  // Clamped to the file.
  void SetPosition(int64_t frame);
  // Moves by `seconds` (negative: back), clamped to the file.
  void Step(double seconds);
  // Moves from `from` to `to` unless the position was changed meanwhile.
  bool Advance(int64_t from, int64_t to) { return position_.compare_exchange_strong(from, to); }

  // One block per block duration, as if live (the default); else as fast as shown.
  bool RealTime() const { return realTime_.load(); }
  void SetRealTime(bool on) { realTime_ = on; }

  // Why the file could not be read during a run ("" when it could); cleared by a seek.
  std::string Fault() const;
  void SetFault(const std::string& reason);

  // Non-finite samples (NaN, Inf) the run read as 0, and the frame of the first.
  void SetNonFinite(int64_t count, int64_t first);
  int64_t NonFinite() const;

  // "name.wav: 0:12.3 / 1:05.0", with "(first 2 of 6 channels)" after it for more than two,
  // and ", 3 NaN/Inf samples read as 0 (the first at 0:00.1)" where there were any; or
  // "name.wav: <fault>".
  std::string StateText() const;

 private:
  FileCursor() = default;
  std::string path_;
  int rate_ = 0;
  int fileChannels_ = 0;
  int64_t frames_ = 0;
  std::atomic<int64_t> position_{0};
  std::atomic<bool> realTime_{true};
  mutable std::mutex mutex_;
  std::string fault_;
  int64_t nonFinite_ = 0;
  int64_t firstNonFinite_ = -1;
};

// "m:ss.d" (tenths cut, not rounded, so that a position never reads past the end), and
// "h:mm:ss.d" from an hour on.
std::string FormatFileTime(double seconds);

class FileCapture : public CaptureSource {
 public:
  explicit FileCapture(std::shared_ptr<FileCursor> cursor);
  ~FileCapture() override;

  Format OwnFormat() const override;
  // The next whole block from the cursor's position, which it then moves on. The first block
  // of a source at the very end starts the file over (Start after a run that reached its
  // end). Fewer frames than asked for are left alone: 0 then says the end has come.
  int ReadBlock(double* left, double* right, int frames) override;
  // The same blocks rounded to 16 bits, for callers of the live contract.
  int Record(int channels, int rate, int16_t* dst, int frames) override;
  void Interrupt() override;
  bool Interrupted() const override { return interrupted_.load(); }
  void Release() override;
  CaptureState State() const override { return state_.load(); }

 private:
  // Waits until the block of `frames` is due in real time; false when interrupted.
  bool Pace(int frames);

  std::shared_ptr<FileCursor> cursor_;
  Audiofile file_;
  bool fresh_ = true;
  // Where the last block ended: a position elsewhere is a seek, a gap in the stream.
  int64_t fedUpTo_ = -1;
  std::chrono::steady_clock::time_point due_{};
  bool paced_ = false;
  std::vector<double> left_, right_, interleaved_;

  std::atomic<bool> interrupted_{false};
  std::atomic<CaptureState> state_{CaptureState::Idle};
  std::mutex waitMutex_;
  std::condition_variable wake_;
};
