#include "Pulseplayback.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetry = std::chrono::milliseconds(300);
// A connection that has not come up by then is given up and tried again (a frozen server
// takes the socket's connection but never answers).
constexpr auto kConnectPatience = std::chrono::seconds(2);
// What the server keeps ahead of the sink: short, so that On is heard at once and Off stops
// soon, long enough for a loaded machine.
constexpr int kTargetMs = 150;
constexpr int kRequestMs = 10;
constexpr int kPollMs = 20;

pa_sample_format_t PulseFormat(SampleFormat f) {
  switch (f) {
    case SampleFormat::Pcm16:
      return PA_SAMPLE_S16LE;
    case SampleFormat::Pcm24:
      return PA_SAMPLE_S24_32LE;
    case SampleFormat::Float:
      break;
  }
  return PA_SAMPLE_FLOAT32LE;
}

}  // namespace

// Everything libpulse touches is used on the thread that writes, which runs a plain main loop
// of its own while a block is handed over; every call into the library is asynchronous, so a
// stalled server never holds Write past its deadline.
struct PulsePlayback::Impl {
  std::string sink;
  std::mutex mutex;  // guards loop, which Interrupt wakes from any thread
  pa_mainloop* loop = nullptr;
  pa_context* ctx = nullptr;
  pa_stream* stream = nullptr;
  PlaybackFormat streamFormat{};
  Clock::time_point nextConnect{}, nextStream{}, connectedAt{};
  PlaybackBytes converter;

  std::atomic<bool> interrupted{false};
  std::atomic<bool> streaming{false};
  std::atomic<PlaybackState> failure{PlaybackState::Idle};
  std::atomic<int> underruns{0};

  static PlaybackState FailureOf(int error) {
    switch (error) {
      case PA_ERR_BUSY:
        return PlaybackState::DeviceBusy;
      case PA_ERR_NOTSUPPORTED:
      case PA_ERR_INVALID:
        return PlaybackState::FormatRefused;
      default:
        return PlaybackState::OutputGone;
    }
  }

  void CloseStream() {
    if (stream) {
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_underflow_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      stream = nullptr;
    }
    streaming = false;
  }
  void CloseContext() {
    CloseStream();
    if (ctx) {
      pa_context_disconnect(ctx);
      pa_context_unref(ctx);
      ctx = nullptr;
    }
  }

  void KeepConnected(Clock::time_point now) {
    if (ctx) {
      const pa_context_state_t st = pa_context_get_state(ctx);
      if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED ||
          (st != PA_CONTEXT_READY && now - connectedAt > kConnectPatience)) {
        CloseContext();
        failure = PlaybackState::OutputGone;
      }
    }
    if (!ctx && now >= nextConnect) {
      nextConnect = now + kRetry;
      connectedAt = now;
      pa_proplist* props = pa_proplist_new();
      pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tonvista");
      ctx = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "Tonvista generator", props);
      pa_proplist_free(props);
      if (ctx && pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_context_unref(ctx);
        ctx = nullptr;
      }
      if (!ctx) failure = PlaybackState::OutputGone;
    }
  }

  void KeepStreaming(Clock::time_point now, const PlaybackFormat& want) {
    if (stream) {
      const pa_stream_state_t st = pa_stream_get_state(stream);
      if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) {
        failure = FailureOf(ctx ? pa_context_errno(ctx) : PA_ERR_CONNECTIONTERMINATED);
        CloseStream();
        nextStream = now + kRetry;
      } else if (st == PA_STREAM_READY) {
        streaming = true;
      }
    }
    if (stream && !(streamFormat == want)) CloseStream();
    if (!stream && ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY && now >= nextStream)
      OpenStream(now, want);
  }

  void OpenStream(Clock::time_point now, const PlaybackFormat& want) {
    nextStream = now + kRetry;
    const pa_sample_spec sampleFormat = {PulseFormat(want.format), static_cast<uint32_t>(want.rate),
                                         static_cast<uint8_t>(want.channels)};
    if (!pa_sample_spec_valid(&sampleFormat)) {
      failure = PlaybackState::FormatRefused;
      return;
    }
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    stream = pa_stream_new(ctx, "Tonvista generator", &sampleFormat, &map);
    if (!stream) {
      failure = FailureOf(pa_context_errno(ctx));
      return;
    }
    const uint32_t frameBytes = static_cast<uint32_t>(pa_frame_size(&sampleFormat));
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = frameBytes * static_cast<uint32_t>(want.rate * kTargetMs / 1000);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = frameBytes * static_cast<uint32_t>(want.rate * kRequestMs / 1000);
    attr.fragsize = static_cast<uint32_t>(-1);
    // The generator's level is the level: the stream plays at unity, whatever volume a
    // previous stream of this program was left at.
    pa_cvolume volume;
    pa_cvolume_set(&volume, sampleFormat.channels, PA_VOLUME_NORM);
    // Without DONT_MOVE the server would move the stream to another sink when this one goes,
    // and the signal would sound where nobody asked for it.
    const auto flags =
        static_cast<pa_stream_flags_t>((sink.empty() ? 0 : PA_STREAM_DONT_MOVE) |
                                       PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_UNMUTED);
    pa_stream_set_underflow_callback(
        stream, [](pa_stream*, void* self) { ++static_cast<Impl*>(self)->underruns; }, this);
    if (pa_stream_connect_playback(stream, sink.empty() ? nullptr : sink.c_str(), &attr, flags,
                                   &volume, nullptr) < 0) {
      failure = FailureOf(pa_context_errno(ctx));
      pa_stream_unref(stream);
      stream = nullptr;
      return;
    }
    streamFormat = want;
  }

  // Runs the loop once, waiting at most until `until`; negative when the loop failed.
  int Iterate(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
    if (pa_mainloop_prepare(loop, static_cast<int>(std::max<int64_t>(0, left.count()))) < 0 ||
        pa_mainloop_poll(loop) < 0)
      return -1;
    return pa_mainloop_dispatch(loop);
  }
};

PulsePlayback::PulsePlayback(std::string sink) : impl_(std::make_unique<Impl>()) {
  impl_->sink = std::move(sink);
}

PulsePlayback::~PulsePlayback() {
  Release();
}

int PulsePlayback::Write(const PlaybackFormat& format, const double* samples, int frames) {
  Impl& s = *impl_;
  if (frames <= 0 || format.rate <= 0 || format.channels <= 0) return 0;
  const auto start = Clock::now();
  const auto paceUntil = start + std::chrono::microseconds(1000000LL * frames / format.rate);
  const auto deadline = paceUntil + std::chrono::seconds(1);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.interrupted) return 0;
    if (!s.loop) s.loop = pa_mainloop_new();
    if (!s.loop) return 0;
  }
  const std::vector<uint8_t>& bytes = s.converter.Convert(format, samples, frames);
  const size_t total = bytes.size();
  const size_t frameBytes = total / static_cast<size_t>(frames);
  size_t written = 0;
  while (!s.interrupted) {
    const auto now = Clock::now();
    s.KeepConnected(now);
    s.KeepStreaming(now, format);
    if (s.streaming) {
      const size_t room = pa_stream_writable_size(s.stream);
      if (room == static_cast<size_t>(-1)) {
        s.CloseStream();
        s.failure = PlaybackState::OutputGone;
        continue;
      }
      const size_t n = std::min(room, total - written) / frameBytes * frameBytes;
      if (n > 0) {
        if (pa_stream_write(s.stream, bytes.data() + written, n, nullptr, 0, PA_SEEK_RELATIVE) <
            0) {
          s.CloseStream();
          s.failure = PlaybackState::OutputGone;
          continue;
        }
        written += n;
      }
      if (written == total) break;
      // The server takes nothing for a whole block and a second: it is stalled. The
      // connection is given up; a fresh one finds the server when it answers again.
      if (now >= deadline) {
        s.CloseContext();
        s.failure = PlaybackState::OutputGone;
        break;
      }
    } else if (now >= paceUntil) {
      // No stream: the block lasts its duration and is dropped.
      if (s.failure == PlaybackState::Idle) s.failure = PlaybackState::OutputGone;
      break;
    }
    auto until = now + std::chrono::milliseconds(kPollMs);
    until = std::min(until, s.streaming ? deadline : paceUntil);
    if (s.Iterate(until) < 0) break;
  }
  return static_cast<int>(written / frameBytes);
}

void PulsePlayback::Drain(int ms) {
  Impl& s = *impl_;
  if (!s.streaming || s.interrupted) return;
  bool done = false;
  pa_operation* op = pa_stream_drain(
      s.stream, [](pa_stream*, int, void* flag) { *static_cast<bool*>(flag) = true; }, &done);
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (op && !done && !s.interrupted && Clock::now() < until && s.streaming) {
    if (s.Iterate(std::min(until, Clock::now() + std::chrono::milliseconds(kPollMs))) < 0) break;
    if (pa_stream_get_state(s.stream) != PA_STREAM_READY) break;
  }
  if (op) {
    // The callback's flag lives on this stack frame: no late call may reach it.
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
  }
}

void PulsePlayback::Interrupt() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.interrupted = true;
  if (s.loop) pa_mainloop_wakeup(s.loop);
}

void PulsePlayback::Release() {
  Impl& s = *impl_;
  s.CloseContext();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.loop) pa_mainloop_free(s.loop);
  s.loop = nullptr;
  s.failure = PlaybackState::Idle;
}

PlaybackState PulsePlayback::State() const {
  return impl_->streaming ? PlaybackState::Playing : impl_->failure.load();
}

int PulsePlayback::Underruns() const {
  return impl_->underruns;
}
