// A SampleStream that keeps what the recording thread feeds for one reader on another thread
// (the meters), without locks: the recording thread never waits for the reader. What does not
// fit because the reader fell behind is dropped and marked as a gap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Samplestream.h"

class StreamRing : public SampleStream {
 public:
  // Room for `capacity` values (samples and a few per piece), rounded up to a multiple of 4.
  explicit StreamRing(size_t capacity = size_t{1} << 19);

  // The one producer (the recording thread; one at a time, handed over with synchronisation).
  void Samples(const double* samples, int frames, int channels, int rate) override;
  void Gap() override;

  // One piece as fed, valid during the reader's call.
  struct Piece {
    const double* samples;
    int frames;
    int channels;
    int rate;
    bool afterGap;  // samples were lost just before this piece
  };

  // The one reader: calls take(piece) for every piece fed so far, in order, and frees their
  // room; returns the frames read.
  template <class Take>
  size_t Read(Take&& take) {
    uint64_t r = read_.load(std::memory_order_relaxed);
    const uint64_t w = write_.load(std::memory_order_acquire);
    size_t frames = 0;
    while (r < w) {
      const size_t at = static_cast<size_t>(r % buffer_.size());
      if (buffer_[at] < 0) {  // padding up to the end of the buffer
        r += buffer_.size() - at;
        continue;
      }
      Piece piece{&buffer_[at + kHeader], static_cast<int>(buffer_[at]),
                  static_cast<int>(buffer_[at + 1]), static_cast<int>(buffer_[at + 2]),
                  buffer_[at + 3] != 0};
      take(piece);
      frames += static_cast<size_t>(piece.frames);
      r += Size(static_cast<size_t>(piece.frames) * static_cast<size_t>(piece.channels));
      read_.store(r, std::memory_order_release);
    }
    return frames;
  }
  // The reader: skips everything fed so far.
  void Discard() { read_.store(write_.load(std::memory_order_acquire), std::memory_order_release); }

  // Any thread: frames fed and frames dropped for want of room, since construction.
  uint64_t FramesFed() const { return fed_.load(std::memory_order_relaxed); }
  uint64_t FramesDropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kHeader = 4;  // frames, channels, rate, after a gap
  static size_t Size(size_t values) { return kHeader + (values + 3) / 4 * 4; }
  bool Put(const double* samples, int frames, int channels, int rate);

  std::vector<double> buffer_;
  // Positions count values fed since construction; the index is the position modulo the size.
  std::atomic<uint64_t> write_{0};
  std::atomic<uint64_t> read_{0};
  bool gap_ = true;  // producer only
  std::atomic<uint64_t> fed_{0};
  std::atomic<uint64_t> dropped_{0};
};
