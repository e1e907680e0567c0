#include "Streamring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

StreamRing::StreamRing(size_t capacity) : buffer_(std::max<size_t>(64, (capacity + 3) / 4 * 4)) {}

void StreamRing::Gap() {
  gap_ = true;
}

void StreamRing::Samples(const double* samples, int frames, int channels, int rate) {
  if (frames <= 0 || channels <= 0) return;
  fed_.fetch_add(static_cast<uint64_t>(frames), std::memory_order_relaxed);
  // Pieces of at most a quarter of the ring, so that one never waits for the whole of it.
  const int most =
      std::max(1, static_cast<int>(buffer_.size() / 4 / static_cast<size_t>(channels)));
  while (frames > 0) {
    const int n = std::min(frames, most);
    if (!Put(samples, n, channels, rate)) {
      dropped_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      gap_ = true;
    }
    samples += static_cast<size_t>(n) * static_cast<size_t>(channels);
    frames -= n;
  }
}

bool StreamRing::Put(const double* samples, int frames, int channels, int rate) {
  const size_t values = static_cast<size_t>(frames) * static_cast<size_t>(channels);
  const size_t need = Size(values);
  uint64_t w = write_.load(std::memory_order_relaxed);
  const uint64_t r = read_.load(std::memory_order_acquire);
  size_t at = static_cast<size_t>(w % buffer_.size());
  // A piece is never split: one that does not fit before the end starts at the beginning.
  const size_t pad = need > buffer_.size() - at ? buffer_.size() - at : 0;
  if (w + pad + need - r > buffer_.size()) return false;
  if (pad) {
    buffer_[at] = -1;
    w += pad;
    at = 0;
  }
  buffer_[at] = frames;
  buffer_[at + 1] = channels;
  buffer_[at + 2] = rate;
  buffer_[at + 3] = gap_ ? 1 : 0;
  // A NaN or Inf would stay in every filter and mean after it: no consumer gets one.
  double* out = &buffer_[at + kHeader];
  for (size_t i = 0; i < values; ++i)
    out[i] = std::isfinite(samples[i]) ? samples[i] : 0.0;
  gap_ = false;
  write_.store(w + need, std::memory_order_release);
  return true;
}
