#include "Alsaplayback.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Alsapoll.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetry = std::chrono::milliseconds(300);
constexpr int kBufferMs = 60;
constexpr int kPeriodMs = 10;

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

snd_pcm_format_t AlsaFormat(SampleFormat f) {
  switch (f) {
    case SampleFormat::Pcm16:
      return SND_PCM_FORMAT_S16_LE;
    case SampleFormat::Pcm24:
      return SND_PCM_FORMAT_S24_LE;  // 24 bits in the low three bytes of four
    case SampleFormat::Float:
      break;
  }
  return SND_PCM_FORMAT_FLOAT_LE;
}

}  // namespace

struct AlsaPlayback::Impl {
  std::string name;
  snd_pcm_t* pcm = nullptr;
  PlaybackFormat format{};
  Clock::time_point nextOpen{};
  PlaybackBytes converter;
  int wakeFd = -1;  // readable once interrupted

  std::atomic<bool> interrupted{false};
  std::atomic<PlaybackState> state{PlaybackState::Idle};
  std::atomic<int> underruns{0};

  void Close() {
    if (pcm) snd_pcm_close(pcm);
    pcm = nullptr;
  }

  bool Open(const PlaybackFormat& want) {
    Close();
    if (const int e = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        e < 0) {
      pcm = nullptr;
      state = e == -EBUSY ? PlaybackState::DeviceBusy : PlaybackState::OutputGone;
      return false;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_uframes_t period = static_cast<snd_pcm_uframes_t>(want.rate * kPeriodMs / 1000);
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(want.rate * kBufferMs / 1000);
    int dir = 0;
    bool ok = snd_pcm_hw_params_any(pcm, hw) >= 0 &&
              snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
              snd_pcm_hw_params_set_format(pcm, hw, AlsaFormat(want.format)) >= 0 &&
              snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(want.channels)) >= 0 &&
              snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(want.rate), 0) >= 0;
    if (!ok) {
      state = PlaybackState::FormatRefused;
      Close();
      return false;
    }
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    ok = snd_pcm_hw_params(pcm, hw) >= 0;
    if (ok) {
      snd_pcm_sw_params_t* sw;
      snd_pcm_sw_params_alloca(&sw);
      snd_pcm_uframes_t gotBuffer = buffer;
      snd_pcm_hw_params_get_buffer_size(hw, &gotBuffer);
      // Playing starts once half the buffer is there: a start on the first period would
      // underrun at once on a loaded machine.
      ok = snd_pcm_sw_params_current(pcm, sw) >= 0 &&
           snd_pcm_sw_params_set_start_threshold(
               pcm, sw, std::max<snd_pcm_uframes_t>(1, gotBuffer / 2)) >= 0 &&
           snd_pcm_sw_params(pcm, sw) >= 0 && snd_pcm_prepare(pcm) >= 0;
    }
    if (!ok) {
      state = PlaybackState::OutputGone;
      Close();
      return false;
    }
    format = want;
    state = PlaybackState::Playing;
    return true;
  }
};

AlsaPlayback::AlsaPlayback(std::string device)
    : device_(std::move(device)), impl_(std::make_unique<Impl>()) {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
  impl_->name = device_;
  impl_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

AlsaPlayback::~AlsaPlayback() {
  Release();
  if (impl_->wakeFd >= 0) close(impl_->wakeFd);
}

int AlsaPlayback::Write(const PlaybackFormat& format, const double* samples, int frames) {
  Impl& s = *impl_;
  if (frames <= 0 || format.rate <= 0 || format.channels <= 0 || s.interrupted) return 0;
  const auto start = Clock::now();
  const auto paceUntil = start + std::chrono::microseconds(1000000LL * frames / format.rate);
  const auto deadline = paceUntil + std::chrono::seconds(1);
  if (s.pcm && !(s.format == format)) s.Close();
  if (!s.pcm && (start < s.nextOpen || !s.Open(format))) {
    if (!s.pcm) s.nextOpen = std::max(s.nextOpen, start + kRetry);
    // No device: the block lasts its duration and is dropped.
    if (!s.pcm) {
      pollfd fd{s.wakeFd, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(paceUntil - Clock::now()).count();
      if (left > 0) poll(&fd, 1, static_cast<int>(left));
      return 0;
    }
  }
  const std::vector<uint8_t>& bytes = s.converter.Convert(format, samples, frames);
  const size_t frameBytes = bytes.size() / static_cast<size_t>(frames);
  int done = 0;
  while (done < frames && !s.interrupted) {
    const snd_pcm_sframes_t r =
        snd_pcm_writei(s.pcm, bytes.data() + static_cast<size_t>(done) * frameBytes,
                       static_cast<snd_pcm_uframes_t>(frames - done));
    if (r > 0) {
      done += static_cast<int>(r);
      continue;
    }
    if (r == -EAGAIN || r == 0) {
      if (!WaitForPcm(s.pcm, s.wakeFd, deadline, 100)) {
        if (s.interrupted) break;
        if (Clock::now() >= deadline) {
          // The device takes nothing: it is stuck. Opened afresh at the next block.
          s.Close();
          s.state = PlaybackState::OutputGone;
          s.nextOpen = Clock::now() + kRetry;
          break;
        }
      }
      continue;
    }
    if (r == -EPIPE) {
      ++s.underruns;
      if (snd_pcm_prepare(s.pcm) >= 0) continue;
    } else if (r == -ESTRPIPE && snd_pcm_recover(s.pcm, static_cast<int>(r), 1) >= 0) {
      continue;
    }
    s.Close();
    s.state = PlaybackState::OutputGone;
    s.nextOpen = Clock::now() + kRetry;
    break;
  }
  return done;
}

void AlsaPlayback::Drain(int ms) {
  Impl& s = *impl_;
  if (!s.pcm || s.interrupted) return;
  // Non-blocking drain returns -EAGAIN while samples remain: poll the state instead.
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  snd_pcm_drain(s.pcm);
  while (Clock::now() < until && !s.interrupted && snd_pcm_state(s.pcm) == SND_PCM_STATE_DRAINING)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void AlsaPlayback::Interrupt() {
  Impl& s = *impl_;
  s.interrupted = true;
  if (s.wakeFd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(s.wakeFd, &one, sizeof one);
  }
}

void AlsaPlayback::Release() {
  Impl& s = *impl_;
  if (s.pcm) snd_pcm_drop(s.pcm);
  s.Close();
  s.state = PlaybackState::Idle;
}

PlaybackState AlsaPlayback::State() const {
  return impl_->state;
}

int AlsaPlayback::Underruns() const {
  return impl_->underruns;
}
