#include "Audiodataacquisition.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "Alsapoll.h"
#include "Jackserver.h"

namespace {

using Clock = std::chrono::steady_clock;
// An input that cannot be opened is tried again this often at most: each attempt may cost the
// library's own work (a sound server's connection) and its complaints.
constexpr auto kRetryOpen = std::chrono::seconds(1);

// alsa-lib reports configuration and device errors on stderr by default; the analyser treats
// every failure as a silent block instead.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void InstallQuietErrorHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
}

// The open capture device with the parameters it was opened with.
struct Device {
  snd_pcm_t* pcm = nullptr;
  int channels = 0;
  int rate = 0;
  int blockFrames = 0;
  snd_pcm_uframes_t period = 0;
  // Restarted after a break and not one frame delivered since.
  bool restarted = false;

  void Close() {
    if (pcm) snd_pcm_close(pcm);
    pcm = nullptr;
  }

  // Opens `name`; on failure `why` says what kept it from recording.
  bool Open(const std::string& name, int wantChannels, int wantRate, int wantBlock,
            CaptureState& why) {
    Close();
    // Without a server the JACK plugin's PCM only fills stderr with libjack's complaints.
    if (IsJackPcm(name)) {
      QuietJackMessages();
      if (!JackServerRunning()) {
        why = CaptureState::InputGone;
        return false;
      }
    }
    if (const int e = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        e < 0) {
      pcm = nullptr;
      why = e == -EBUSY ? CaptureState::DeviceBusy : CaptureState::InputGone;
      return false;
    }
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned int exactRate = static_cast<unsigned int>(wantRate);
    // A sound server delivers capture data in pieces (PulseAudio: two periods at a time) and a
    // block waits for the piece holding its last frame. Pieces that cover the block plus a
    // small gap make each block a whole number of pieces: the gap (at most 1 ms) is all that
    // is discarded before the next block, so blocks never join and the block rate stays close
    // to rate / block length. Each piece wakes the client, so pieces are as long as they can
    // be: the whole block up to 50 ms, else as many equal pieces of at most 50 ms as needed
    // (a server's capture latency is bounded, and a long block needs no wake-up per frame).
    // Half a second of buffer keeps the stream from overrunning while a block is computed and
    // shown. The wake-up threshold is one frame: waiting for a whole period when a block needs
    // only its last few frames would cost up to a period per block.
    const long pieces = std::max(1L, std::lround(std::ceil(wantBlock / (wantRate / 20.0))));
    const long gap = std::max(1L, std::min<long>(wantRate / 1000, wantBlock / 32));
    snd_pcm_uframes_t period =
        static_cast<snd_pcm_uframes_t>((wantBlock + gap + 2 * pieces - 1) / (2 * pieces));
    snd_pcm_uframes_t buffer = std::max<snd_pcm_uframes_t>(4 * period, wantRate / 2);
    int dir = 0;
    bool ok = snd_pcm_hw_params_any(pcm, hw) >= 0 &&
              snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
              snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) >= 0 &&
              snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(wantChannels)) >= 0 &&
              snd_pcm_hw_params_set_rate(pcm, hw, exactRate, 0) >= 0;
    why = CaptureState::FormatRefused;
    if (ok) {
      why = CaptureState::InputGone;
      snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
      snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
      ok = snd_pcm_hw_params(pcm, hw) >= 0 &&
           snd_pcm_hw_params_get_period_size(hw, &period, &dir) >= 0;
    }
    if (ok) {
      snd_pcm_sw_params_t* sw;
      snd_pcm_sw_params_alloca(&sw);
      ok = snd_pcm_sw_params_current(pcm, sw) >= 0 &&
           snd_pcm_sw_params_set_avail_min(pcm, sw, 1) >= 0 &&
           snd_pcm_sw_params_set_start_threshold(pcm, sw, 1) >= 0 &&
           snd_pcm_sw_params(pcm, sw) >= 0 && snd_pcm_prepare(pcm) >= 0;
    }
    if (!ok || period == 0) {
      Close();
      return false;
    }
    channels = wantChannels;
    rate = wantRate;
    blockFrames = wantBlock;
    this->period = period;
    restarted = false;
    return true;
  }
};

}  // namespace

struct CaptureSession::Shared {
  // Fixed at construction (and copied when the state is replaced).
  std::string deviceName;
  bool paceFailures = false;
  std::atomic<CaptureState> state{CaptureState::Idle};
  // Opens tried so far (carried over when the state is replaced), and when the next may be
  // (the device thread's own).
  std::atomic<int> openAttempts{0};
  Clock::time_point retryAt{};
  SilenceWatch silence;
  // Whose stream every sample read goes to; cleared (under mutex) when the session gives this
  // state up, since an abandoned thread may outlive it.
  CaptureSession* owner = nullptr;

  std::mutex mutex;
  std::condition_variable changed;
  // The request, written by the caller.
  bool pending = false;
  uint64_t requestId = 0;
  int channels = 0;
  int rate = 0;
  int frames = 0;
  Clock::time_point deadline;
  uint64_t abandonedId = 0;
  // The answer, written by the device thread.
  std::vector<int16_t> data;
  int done = 0;
  bool blockBroken = false;  // the current request's recording broke at least once
  // The longest broken recording of the current request: what the block is if no fresh one
  // gets further by the deadline (a server frozen mid-block leaves the fresh one empty).
  std::vector<int16_t> kept;
  int keptDone = 0;
  uint64_t finishedId = 0;
  bool threadRunning = false;
  bool stop = false;
  std::atomic<bool> interrupted{false};
  int wakeFd = -1;  // readable once the session is stopped or interrupted

  ~Shared() {
    if (wakeFd >= 0) close(wakeFd);
  }

  // Passes samples just read on to the session's stream, in the order read (device thread).
  void FeedLocked(const int16_t* samples, snd_pcm_sframes_t frames, const Device& device) {
    if (owner && !stop)
      owner->Feed(samples, static_cast<int>(frames), device.channels, device.rate);
  }
  void FeedGap() {
    std::lock_guard<std::mutex> lock(mutex);
    if (owner && !stop) owner->FeedGap();
  }

  bool Cancelled(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    return stop || interrupted || abandonedId == id || requestId != id;
  }

  // Drops what the device gathered since the last block, so that a block holds only samples
  // recorded after it was asked for and does not join the previous one (the stream gets them).
  // False when the device had to be given up.
  bool Drain(Device& device, int wantChannels, std::vector<int16_t>& chunk) {
    snd_pcm_sframes_t stale = snd_pcm_avail_update(device.pcm);
    if (stale < 0) {
      // An overrun while the previous block was shown: nothing of it is wanted anyway.
      FeedGap();
      if (snd_pcm_prepare(device.pcm) < 0) {
        device.Close();
        return false;
      }
      return true;
    }
    chunk.resize(device.period * static_cast<size_t>(wantChannels));
    while (stale > 0) {
      const auto n = std::min<snd_pcm_sframes_t>(stale, device.period);
      const snd_pcm_sframes_t r = snd_pcm_readi(device.pcm, chunk.data(), n);
      if (r == -EAGAIN || r == 0) break;
      if (r < 0) {
        FeedGap();
        if (snd_pcm_prepare(device.pcm) < 0) {
          device.Close();
          return false;
        }
        break;
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        FeedLocked(chunk.data(), r, device);
      }
      stale -= r;
    }
    return true;
  }

  enum class Attempt { Whole, Broken, Ended };

  // One recording of the block from its first frame, published chunk by chunk. Broken when
  // the stream broke (an overrun, a suspend, a device that failed): the frames so far and the
  // ones after the break are not one stretch of the input.
  Attempt RecordOnce(Device& device, uint64_t id, int wantChannels, int wantFrames,
                     Clock::time_point until, std::vector<int16_t>& chunk) {
    chunk.resize(device.period * static_cast<size_t>(wantChannels));
    int got = 0;
    int emptyReads = 0;
    while (got < wantFrames) {
      if (Cancelled(id)) return Attempt::Ended;
      const auto n = std::min<snd_pcm_sframes_t>(wantFrames - got, device.period);
      // Some plugins (ALSA's file plugin past the end of its input) count frames as read that
      // they never wrote: those must read as silence, not as an earlier chunk.
      std::fill(chunk.begin(), chunk.begin() + n * wantChannels, int16_t{0});
      const snd_pcm_sframes_t r = snd_pcm_readi(device.pcm, chunk.data(), n);
      if (r == -EAGAIN || r == 0) {
        // Until a freshly started stream delivers (up to half a second), the pulse plugin
        // reports data it does not have: a wake-up that brought nothing is followed by a short
        // sleep rather than another turn at full speed.
        if (++emptyReads > 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!WaitForPcm(device.pcm, wakeFd, until, 200)) {
          if (Cancelled(id)) return Attempt::Ended;
          if (Clock::now() >= until) {
            // A device that could not fill a block within its duration plus the grace period
            // is gone or stuck (a sound server that died without the plugin noticing): the
            // next block opens it afresh, which is how the capture recovers.
            device.Close();
            return Attempt::Ended;
          }
        }
        continue;
      }
      if (r < 0) {
        // The stream has a gap here. A device that cannot be restarted in place is opened
        // afresh for the next attempt, and so is one that breaks again before delivering
        // anything: PipeWire's plugin, its server gone, restarts in place and breaks at once,
        // for ever, where only a new connection finds the server again.
        FeedGap();
        if (device.restarted || snd_pcm_recover(device.pcm, static_cast<int>(r), 1) < 0)
          device.Close();
        else
          device.restarted = true;
        return Attempt::Broken;
      }
      emptyReads = 0;
      silence.Add(chunk.data(), static_cast<size_t>(r) * wantChannels);
      device.restarted = false;
      std::lock_guard<std::mutex> lock(mutex);
      // Read is read: the stream takes it even when the block was given up meanwhile.
      FeedLocked(chunk.data(), r, device);
      if (stop || interrupted || abandonedId == id || requestId != id) return Attempt::Ended;
      std::memcpy(data.data() + static_cast<size_t>(got) * wantChannels, chunk.data(),
                  sizeof(int16_t) * static_cast<size_t>(r) * wantChannels);
      got += static_cast<int>(r);
      done = got;
    }
    return Attempt::Whole;
  }

  // Reads one request into `data`. A broken recording is discarded and the block recorded
  // afresh while a whole block still fits before the deadline; after that the broken one
  // stands: what was recorded, then zeros.
  void Serve(Device& device, uint64_t id, int wantChannels, int wantRate, int wantFrames,
             Clock::time_point until, std::vector<int16_t>& chunk) {
    const auto duration = std::chrono::microseconds(1000000LL * wantFrames / wantRate);
    for (bool again = false;; again = true) {
      if (!device.pcm || device.channels != wantChannels || device.rate != wantRate ||
          device.blockFrames != wantFrames) {
        CaptureState why = CaptureState::InputGone;
        const auto now = Clock::now();
        // "default" keeps its stored behaviour: each block tries it afresh and returns at once.
        const bool attempt = !paceFailures || now >= retryAt;
        if (attempt) ++openAttempts;
        if (!attempt || !device.Open(deviceName, wantChannels, wantRate, wantFrames, why)) {
          if (attempt) {
            retryAt = now + kRetryOpen;
            state = why;
          }
          if (paceFailures) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_until(lock, std::min(Clock::now() + duration, until), [&] {
              return stop || interrupted || abandonedId == id || requestId != id;
            });
          }
          return;
        }
        retryAt = {};
        if (state != CaptureState::Recording) silence.Restart();
        state = CaptureState::Recording;
        // A fresh stream does not continue whatever was read before.
        FeedGap();
      } else if (!Drain(device, wantChannels, chunk)) {
        continue;
      }
      if (again) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stop || interrupted || abandonedId == id || requestId != id) return;
        if (done > keptDone) {
          kept.assign(data.begin(), data.begin() + static_cast<ptrdiff_t>(done) * wantChannels);
          keptDone = done;
        }
        done = 0;
      }
      if (RecordOnce(device, id, wantChannels, wantFrames, until, chunk) != Attempt::Broken) return;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (requestId == id) blockBroken = true;
      }
      if (Clock::now() + duration >= until) return;
    }
  }

  void Run() {
    Device device;
    std::vector<int16_t> chunk;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return pending || stop; });
      if (stop) break;
      pending = false;
      const uint64_t id = requestId;
      const int c = channels, r = rate, f = frames;
      const auto until = deadline;
      lock.unlock();
      Serve(device, id, c, r, f, until, chunk);
      lock.lock();
      finishedId = id;
      // Outside the lock: the caller woken while it is held would only wait for it again.
      lock.unlock();
      changed.notify_all();
      lock.lock();
    }
    lock.unlock();
    device.Close();
    lock.lock();
    threadRunning = false;
    changed.notify_all();
  }
};

CaptureSession::CaptureSession(std::string device)
    : shared_(std::make_shared<Shared>()), device_(std::move(device)) {
  InstallQuietErrorHandler();
  shared_->deviceName = device_;
  shared_->owner = this;
  shared_->paceFailures = device_ != "default";
  shared_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CaptureState CaptureSession::State() const {
  const std::shared_ptr<Shared> s = Current();
  const CaptureState state = s->state;
  return state == CaptureState::Recording && s->silence.Silent() ? CaptureState::NoSignal : state;
}

CaptureSession::~CaptureSession() {
  Release();
}

std::shared_ptr<CaptureSession::Shared> CaptureSession::Current() const {
  std::lock_guard<std::mutex> lock(swapMutex_);
  return shared_;
}

void CaptureSession::Abandon(Shared& s) {
  // The old thread ends by itself once the library lets go of it; it owns its state.
  s.stop = true;
  s.pending = false;
  s.changed.notify_all();
  auto fresh = std::make_shared<Shared>();
  fresh->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  fresh->interrupted = s.interrupted.load();
  fresh->deviceName = s.deviceName;
  fresh->paceFailures = s.paceFailures;
  fresh->state = s.state.load();
  fresh->openAttempts = s.openAttempts.load();
  fresh->owner = s.owner;
  s.owner = nullptr;
  std::lock_guard<std::mutex> lock(swapMutex_);
  shared_ = std::move(fresh);
}

int CaptureSession::Record(int channels, int rate, int16_t* dst, int frames) {
  if (frames <= 0 || channels <= 0 || rate <= 0) return 0;
  const auto until = Clock::now() + std::chrono::milliseconds(2000) +
                     std::chrono::microseconds(1000000LL * frames / rate);
  std::shared_ptr<Shared> current = Current();
  std::unique_lock<std::mutex> lock(current->mutex);
  if (current->threadRunning && current->abandonedId != 0 &&
      current->abandonedId == current->requestId && current->finishedId != current->requestId) {
    // The device thread has not come back from the block given up last time: it hangs in the
    // library (libpulse can deadlock in its own thread when the server dies). A fresh thread
    // with a fresh device lets the run recover once a server is there again.
    Abandon(*current);
    lock.unlock();
    current = Current();
    lock = std::unique_lock<std::mutex>(current->mutex);
  }
  Shared& s = *current;
  if (s.interrupted || s.wakeFd < 0) return 0;
  if (!s.threadRunning) {
    s.stop = false;
    s.threadRunning = true;
    std::thread([shared = current] { shared->Run(); }).detach();
  }
  const uint64_t id = ++s.requestId;
  s.channels = channels;
  s.rate = rate;
  s.frames = frames;
  s.deadline = until;
  s.data.resize(static_cast<size_t>(frames) * channels);
  s.done = 0;
  s.keptDone = 0;
  s.blockBroken = false;
  s.pending = true;
  s.changed.notify_all();
  s.changed.wait_until(lock, until, [&] { return s.finishedId == id || s.interrupted; });
  if (s.finishedId != id) s.abandonedId = id;
  const bool useKept = s.keptDone > s.done;
  const int got = useKept ? s.keptDone : s.done;
  std::memcpy(dst, useKept ? s.kept.data() : s.data.data(),
              sizeof(int16_t) * static_cast<size_t>(got) * channels);
  s.done = 0;
  s.keptDone = 0;
  // A block cut short by its deadline joins a recording to zeros: broken as well.
  if (!s.interrupted && (s.blockBroken || (got > 0 && got < frames))) ++brokenBlocks_;
  return got;
}

void CaptureSession::Interrupt() {
  // A state replaced meanwhile must be interrupted as well.
  for (std::shared_ptr<Shared> s = Current(), seen; s != seen; seen = s, s = Current()) {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->interrupted = true;
    if (s->wakeFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t w = write(s->wakeFd, &one, sizeof one);
    }
    s->changed.notify_all();
  }
}

int CaptureSession::OpenAttempts() const {
  return Current()->openAttempts;
}

int CaptureSession::BrokenBlocks() const {
  return brokenBlocks_;
}

bool CaptureSession::Interrupted() const {
  return Current()->interrupted;
}

void CaptureSession::Release() {
  std::shared_ptr<Shared> current = Current();
  Shared& s = *current;
  s.state = CaptureState::Idle;
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!s.threadRunning) return;
  s.stop = true;
  s.pending = false;
  s.changed.notify_all();
  // A thread that already missed its last deadline is stuck in the library: waiting longer
  // would not help.
  const bool stuck = s.abandonedId != 0 && s.abandonedId == s.requestId;
  const auto patience = std::chrono::milliseconds(stuck ? 20 : s.interrupted ? 100 : 300);
  s.changed.wait_for(lock, patience, [&] { return !s.threadRunning; });
  // Give a stuck thread up so that a later Record starts a new one.
  if (s.threadRunning) Abandon(s);
}

AudioDataAcquisition::AudioDataAcquisition(int NumChannels, int BlockLength, int SamplingRate)
    : AudioDataAcquisition(NumChannels, BlockLength, SamplingRate, nullptr) {}

AudioDataAcquisition::AudioDataAcquisition(int NumChannels, int BlockLength, int SamplingRate,
                                           CaptureSource* session)
    : numChannels_(NumChannels),
      blockLength_(BlockLength),
      samplingRate_(SamplingRate),
      session_(session) {
  if (!session_) {
    ownSession_ = std::make_unique<CaptureSession>();
    session_ = ownSession_.get();
    buffer_ = &ownBuffer_;
  } else {
    buffer_ = &session_->BlockBuffer();
  }
  buffer_->resize(static_cast<size_t>(BlockLength) * NumChannels);
  FillBuffer(buffer_->data(), static_cast<int>(buffer_->size()), 0);
}

AudioDataAcquisition::~AudioDataAcquisition() = default;

int AudioDataAcquisition::AcquireBlock() {
  return session_->Record(numChannels_, samplingRate_, buffer_->data(), blockLength_);
}

void AudioDataAcquisition::GetMono(double* Destination, int Count) const {
  const int16_t* b = buffer_->data();
  for (int i = 0; i < Count; ++i)
    Destination[i] = b[i];
}

void AudioDataAcquisition::GetStereo(double* Left, double* Right, int Count) const {
  const int16_t* b = buffer_->data();
  for (int k = 0; k < Count; ++k) {
    Left[k] = b[2 * k];
    Right[k] = b[2 * k + 1];
  }
}

void AudioDataAcquisition::FillBuffer(int16_t* Buffer, int Count, int16_t Value) {
  std::fill(Buffer, Buffer + Count, Value);
}

bool AlsaDefaultIsPulseDefault() {
  InstallQuietErrorHandler();
  snd_config_t* top = nullptr;
  if (snd_config_update_ref(&top) < 0 || !top) return false;
  bool pulse = false;
  snd_config_t* pcm = nullptr;
  if (snd_config_search_definition(top, "pcm", "default", &pcm) >= 0) {
    auto text = [pcm](const char* key, std::string& value) {
      snd_config_t* node = nullptr;
      const char* str = nullptr;
      if (snd_config_search(pcm, key, &node) < 0) return false;
      value = snd_config_get_string(node, &str) >= 0 && str ? str : "?";
      return true;
    };
    std::string type, device, other;
    // A server, a source or a fallback of its own: the plugin then records what it names.
    pulse = text("type", type) && type == "pulse" && (!text("device", device) || device.empty()) &&
            !text("server", other) && !text("fallback", other);
    snd_config_delete(pcm);
  }
  snd_config_unref(top);
  return pulse;
}

bool AudioOutputDeviceAvailable() {
  InstallQuietErrorHandler();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}
