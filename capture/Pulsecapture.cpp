#include "Pulsecapture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetry = std::chrono::milliseconds(300);
constexpr auto kSilenceForNoSignal = std::chrono::seconds(2);
constexpr int kPollMs = 20;
constexpr int kStreamingPollMs = 250;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

namespace {
struct Connection;
}  // namespace

// Everything libpulse touches is used on the thread that records, which runs a plain main loop
// of its own while a block is recorded: every call into the library is asynchronous, so Record
// never waits on a stalled server past its deadline. Between blocks nobody reads; the server
// keeps what comes meanwhile (up to its buffer) and the next block passes it on to the stream
// before it waits for samples of its own. One thread less to wake per block.
struct PulseCapture::Impl {
  std::string source;
  // Whose stream every sample read goes to.
  PulseCapture* owner = nullptr;

  // Guards loop, which Interrupt wakes from any thread.
  std::mutex mutex;
  pa_mainloop* loop = nullptr;
  std::unique_ptr<Connection> connection;  // the recording thread's, with loop

  std::atomic<bool> interrupted{false};
  std::atomic<CaptureState> failure{CaptureState::Idle};  // when not streaming
  std::atomic<bool> streaming{false};
  std::atomic<int64_t> lastSound{0};  // steady-clock ns of the last non-zero sample

  void Feed(const int16_t* samples, int frames, int channels, int rate) {
    owner->Feed(samples, frames, channels, rate);
  }
  void FeedGap() { owner->FeedGap(); }
};

namespace {

// The recording thread's side: the connection, the stream and the block being recorded.
struct Connection {
  PulseCapture::Impl& s;
  pa_mainloop* loop;
  pa_context* ctx = nullptr;
  pa_stream* stream = nullptr;
  int streamChannels = 0, streamRate = 0, streamFrames = 0;
  // The rate of the source the stream records (0 until the server has told).
  int sourceRate = 0;
  Clock::time_point nextConnect{}, nextStream{};
  // The block being recorded into dst, while active.
  bool active = false;
  int16_t* dst = nullptr;
  int got = 0;
  int wantChannels = 0, wantRate = 0, wantFrames = 0;
  bool dropStale = false;

  void CloseStream() {
    if (stream) {
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_moved_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      stream = nullptr;
    }
    s.streaming = false;
  }
  void CloseContext() {
    CloseStream();
    if (ctx) {
      pa_context_set_state_callback(ctx, nullptr, nullptr);
      pa_context_disconnect(ctx);
      pa_context_unref(ctx);
      ctx = nullptr;
    }
  }

  static CaptureState FailureOf(int error) {
    switch (error) {
      case PA_ERR_BUSY:
        return CaptureState::DeviceBusy;
      case PA_ERR_NOTSUPPORTED:
      case PA_ERR_INVALID:
        return CaptureState::FormatRefused;
      default:
        return CaptureState::InputGone;
    }
  }

  void KeepConnected(Clock::time_point now) {
    if (ctx) {
      const pa_context_state_t st = pa_context_get_state(ctx);
      if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED) {
        CloseContext();
        s.failure = CaptureState::InputGone;
      }
    }
    if (!ctx && now >= nextConnect) {
      nextConnect = now + kRetry;
      pa_proplist* props = pa_proplist_new();
      pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tonvista");
      ctx = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "Tonvista", props);
      pa_proplist_free(props);
      if (ctx && pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_context_unref(ctx);
        ctx = nullptr;
      }
      if (!ctx) s.failure = CaptureState::InputGone;
    }
  }

  void KeepStreaming(Clock::time_point now) {
    if (stream) {
      const pa_stream_state_t st = pa_stream_get_state(stream);
      if (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED) {
        s.failure = FailureOf(ctx ? pa_context_errno(ctx) : PA_ERR_CONNECTIONTERMINATED);
        const bool wasRecording = s.streaming;
        CloseStream();
        nextStream = now + kRetry;
        // A source gone mid-block ends the block with what it has; a failed attempt to open
        // it again leaves the block to its pace.
        if (active && wasRecording) Finish();
      } else if (st == PA_STREAM_READY && !s.streaming) {
        s.streaming = true;
        AskSourceRate();
        // A fresh stream does not continue whatever was read before.
        s.FeedGap();
        s.lastSound = Now();
        dropStale = true;
      }
    }
    if (stream && active && (streamChannels != wantChannels || streamRate != wantRate))
      CloseStream();
    // Another block length needs other fragments, not another stream.
    if (stream && active && streamFrames != wantFrames &&
        pa_stream_get_state(stream) == PA_STREAM_READY) {
      streamFrames = wantFrames;
      SetBufferAttr();
    }
    // A format no server takes is known at once; waiting for the server first would let a short
    // block run out before it and report the input as gone instead.
    if (!stream && wantChannels > 0 && !FormatValid()) {
      s.failure = CaptureState::FormatRefused;
      return;
    }
    if (!stream && wantChannels > 0 && ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY &&
        now >= nextStream)
      OpenStream(now);
  }

  pa_sample_spec Format() const {
    return {PA_SAMPLE_S16LE, static_cast<uint32_t>(wantRate),
            static_cast<uint8_t>(std::clamp(wantChannels, 0, 255))};
  }
  bool FormatValid() const {
    const pa_sample_spec format = Format();
    return wantChannels <= static_cast<int>(PA_CHANNELS_MAX) && pa_sample_spec_valid(&format);
  }

  // The server sends a fragment at a time and each wakes this thread. A block waits for the
  // fragment holding its last frame, so fragments that cover the block plus a small gap make
  // each block a whole number of them (blocks never join, the block rate stays close to
  // rate / block length); a long block comes in equal fragments of at most 50 ms.
  //
  // A short block's gap is a share of the block rate that counts. The server renders whole
  // frames of the source, whose rate it converts to ours: once that rate is known, a short
  // block's fragment need only cover the block plus two frames after rounding to them.
  pa_buffer_attr BufferAttr(int channels, int rate, int frames) const {
    const pa_sample_spec format = {PA_SAMPLE_S16LE, static_cast<uint32_t>(rate),
                                   static_cast<uint8_t>(std::clamp(channels, 0, 255))};
    const uint32_t frameBytes = static_cast<uint32_t>(pa_frame_size(&format));
    pa_buffer_attr attr;
    attr.maxlength = std::max<uint32_t>(frameBytes * (format.rate / 2), 4096);
    const long r = static_cast<long>(format.rate);
    const long pieces = std::max(1L, (frames + r / 20 - 1) / std::max(1L, r / 20));
    const long gap = std::max(1L, std::min<long>(r / 1000, frames / 32));
    long fragment = (frames + gap + pieces - 1) / pieces;
    if (sourceRate > 0 && pieces == 1 && frames / 32 < r / 1000) {
      const double ratio = static_cast<double>(sourceRate) / static_cast<double>(r);
      const double sourceFrames = std::ceil(static_cast<double>(frames + 2) * ratio);
      fragment = std::min(fragment, static_cast<long>(std::ceil(sourceFrames / ratio)) + 1);
    }
    attr.fragsize = frameBytes * static_cast<uint32_t>(fragment);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    return attr;
  }

  // For the stream's format and block length.
  void SetBufferAttr() {
    const pa_buffer_attr attr = BufferAttr(streamChannels, streamRate, streamFrames);
    if (pa_operation* op = pa_stream_set_buffer_attr(stream, &attr, nullptr, nullptr))
      pa_operation_unref(op);
  }

  // Asks the server for the rate of the source the stream records; SourceInfo then sizes the
  // fragments for it.
  void AskSourceRate() {
    sourceRate = 0;
    const uint32_t index = pa_stream_get_device_index(stream);
    if (index == PA_INVALID_INDEX) return;
    if (pa_operation* op = pa_context_get_source_info_by_index(ctx, index, &SourceInfo, this))
      pa_operation_unref(op);
  }
  static void SourceInfo(pa_context*, const pa_source_info* info, int, void* self) {
    auto& w = *static_cast<Connection*>(self);
    // An answer about a source the stream no longer records is of no use.
    if (!info || !w.stream || pa_stream_get_state(w.stream) != PA_STREAM_READY ||
        pa_stream_get_device_index(w.stream) != info->index ||
        static_cast<int>(info->sample_spec.rate) == w.sourceRate)
      return;
    w.sourceRate = static_cast<int>(info->sample_spec.rate);
    w.SetBufferAttr();
  }

  void OpenStream(Clock::time_point now) {
    nextStream = now + kRetry;
    const pa_sample_spec format = Format();
    pa_channel_map map;
    pa_channel_map_init_auto(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
    stream = pa_stream_new(ctx, "Tonvista capture", &format, &map);
    if (!stream) {
      s.failure = FailureOf(pa_context_errno(ctx));
      return;
    }
    const pa_buffer_attr attr = BufferAttr(wantChannels, wantRate, wantFrames);
    // Without DONT_MOVE the server would move the stream to another source when this one goes,
    // and the user would see some other input's signal under this input's name. The default
    // input is whatever the server's default is.
    const auto flags = static_cast<pa_stream_flags_t>((s.source.empty() ? 0 : PA_STREAM_DONT_MOVE) |
                                                      PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(stream, s.source.empty() ? nullptr : s.source.c_str(), &attr,
                                 flags) < 0) {
      s.failure = FailureOf(pa_context_errno(ctx));
      pa_stream_unref(stream);
      stream = nullptr;
      return;
    }
    // The default source may be followed to another of another rate.
    pa_stream_set_moved_callback(
        stream, [](pa_stream*, void* self) { static_cast<Connection*>(self)->AskSourceRate(); },
        this);
    streamChannels = wantChannels;
    streamRate = wantRate;
    streamFrames = wantFrames;
  }

  // Moves what the stream holds into the request, or discards it between requests.
  void Read() {
    if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) return;
    const size_t frameBytes = sizeof(int16_t) * static_cast<size_t>(streamChannels);
    // Peeking until the stream is empty asks the library once less per piece than asking for
    // the readable size first (every call checks for a fork).
    for (int guard = 0; guard < 1000; ++guard) {
      const void* bytes = nullptr;
      size_t n = 0;
      if (pa_stream_peek(stream, &bytes, &n) < 0 || n == 0) break;
      // Every sample read goes to the stream, those between blocks included.
      if (bytes)
        s.Feed(static_cast<const int16_t*>(bytes), static_cast<int>(n / frameBytes), streamChannels,
               streamRate);
      else
        s.FeedGap();
      if (bytes && !dropStale) {
        const auto* samples = static_cast<const int16_t*>(bytes);
        const size_t count = n / sizeof(int16_t);
        if (std::any_of(samples, samples + count, [](int16_t v) { return v != 0; }))
          s.lastSound = Now();
        if (active) Take(samples, static_cast<int>(n / frameBytes));
      } else if (!bytes && !dropStale && active) {
        // A hole in the stream reads as silence.
        static const std::vector<int16_t> zeros(4096);
        int left = static_cast<int>(n / frameBytes);
        while (left > 0 && active) {
          const int k = std::min(left, static_cast<int>(zeros.size()) / streamChannels);
          Take(zeros.data(), k);
          left -= k;
        }
      }
      pa_stream_drop(stream);
    }
    dropStale = false;
  }

  void Take(const int16_t* samples, int frames) {
    const int k = std::min(frames, wantFrames - got);
    if (k <= 0) return;
    std::memcpy(dst + static_cast<size_t>(got) * wantChannels, samples,
                sizeof(int16_t) * static_cast<size_t>(k) * wantChannels);
    got += k;
    if (got >= wantFrames) Finish();
  }

  void Finish() { active = false; }

  // One turn: the connection and the stream kept up, what the stream holds read.
  void Turn(Clock::time_point now) {
    KeepConnected(now);
    KeepStreaming(now);
    Read();
  }
  // Runs the loop once, waiting at most until `until`: the number of events it dispatched,
  // negative when the loop failed.
  int Iterate(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
    if (pa_mainloop_prepare(loop, static_cast<int>(std::max<int64_t>(0, left.count()))) < 0 ||
        pa_mainloop_poll(loop) < 0)
      return -1;
    return pa_mainloop_dispatch(loop);
  }
  // Takes in everything that has come, without waiting: a turn of the loop reads one piece of
  // the server's at a time.
  void Drain() {
    for (int guard = 0; guard < 10000 && Iterate(Clock::time_point{}) > 0; ++guard) {
    }
  }
};

}  // namespace

PulseCapture::PulseCapture(std::string source)
    : source_(std::move(source)), impl_(std::make_shared<Impl>()) {
  impl_->source = source_;
  impl_->owner = this;
}

PulseCapture::~PulseCapture() {
  Release();
}

int PulseCapture::Record(int channels, int rate, int16_t* dst, int frames) {
  if (frames <= 0 || channels <= 0 || rate <= 0) return 0;
  Impl& s = *impl_;
  const auto now = Clock::now();
  const auto duration = std::chrono::microseconds(1000000LL * frames / rate);
  const auto paceUntil = now + duration;
  const auto deadline = paceUntil + std::chrono::seconds(2);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.interrupted) return 0;
    if (!s.loop) {
      s.loop = pa_mainloop_new();
      if (!s.loop) return 0;
      s.connection = std::make_unique<Connection>(Connection{s, s.loop});
    }
  }
  Connection& c = *s.connection;
  c.active = true;
  c.dst = dst;
  c.got = 0;
  c.wantChannels = channels;
  c.wantRate = rate;
  c.wantFrames = frames;
  // What came before the call is not this block's: whatever the library or the socket holds
  // is taken in now and goes to the stream only.
  c.Drain();
  c.dropStale = true;
  c.Turn(now);
  while (c.active && !s.interrupted) {
    const auto at = Clock::now();
    // Without a stream a block lasts its duration and stays silent.
    if (!s.streaming && at >= paceUntil) {
      // Still not recording after a whole block: a server that does not answer counts as gone.
      if (s.failure == CaptureState::Idle) s.failure = CaptureState::InputGone;
      break;
    }
    if (at >= deadline) break;
    // While the stream runs, the server's data and Interrupt wake the loop; the timer is for
    // connecting, retrying and pacing silent blocks only.
    auto until = at + std::chrono::milliseconds(s.streaming ? kStreamingPollMs : kPollMs);
    until = std::min(until, s.streaming ? deadline : paceUntil);
    if (c.Iterate(until) < 0) break;
    c.Turn(Clock::now());
  }
  c.active = false;
  c.dst = nullptr;
  return c.got;
}

void PulseCapture::Interrupt() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.interrupted = true;
  if (s.loop) pa_mainloop_wakeup(s.loop);
}

bool PulseCapture::Interrupted() const {
  return impl_->interrupted;
}

void PulseCapture::Release() {
  Impl& s = *impl_;
  if (s.connection) s.connection->CloseContext();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.connection.reset();
  if (s.loop) pa_mainloop_free(s.loop);
  s.loop = nullptr;
  s.streaming = false;
  s.failure = CaptureState::Idle;
}

CaptureState PulseCapture::State() const {
  const Impl& s = *impl_;
  if (s.streaming) {
    const int64_t quiet = Now() - s.lastSound.load();
    return quiet >= std::chrono::nanoseconds(kSilenceForNoSignal).count() ? CaptureState::NoSignal
                                                                          : CaptureState::Recording;
  }
  return s.failure.load();
}
