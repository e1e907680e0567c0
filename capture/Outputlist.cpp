#include "Outputlist.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReconnect = std::chrono::milliseconds(500);
constexpr int64_t kMaxSleepUs = 5'000'000;

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

struct Hint {
  char* value;
  explicit Hint(char* v) : value(v) {}
  ~Hint() { std::free(value); }
  std::string Str() const { return value ? value : ""; }
};

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

OutputEntry DefaultOutput() {
  return {OutputKind::Default, "default", "Default output (system)"};
}

std::vector<OutputEntry> AlsaPlaybackOutputs() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
  std::vector<OutputEntry> out;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return out;
  for (void** h = hints; *h; ++h) {
    const std::string name = Hint(snd_device_name_get_hint(*h, "NAME")).Str();
    const std::string desc = Hint(snd_device_name_get_hint(*h, "DESC")).Str();
    const std::string ioid = Hint(snd_device_name_get_hint(*h, "IOID")).Str();
    if (name.empty() || ioid == "Input") continue;
    const bool card = StartsWith(name, "hw:") || StartsWith(name, "plughw:");
    static const char* const notOutputs[] = {"default",   "null",    "sysdefault", "oss",
                                             "speex",     "upmix",   "vdownmix",   "samplerate",
                                             "speexrate", "lavrate", "a52",        "usbstream"};
    bool named = name.find(':') == std::string::npos;
    for (const char* n : notOutputs)
      named = named && name != n;
    if (!card && !named) continue;
    std::string first = desc.substr(0, desc.find('\n'));
    if (first.empty()) first = name;
    OutputEntry e{OutputKind::Alsa, name, card ? first + " (" + name + ")" : first};
    if (std::none_of(out.begin(), out.end(), [&](const OutputEntry& o) { return o.name == name; }))
      out.push_back(std::move(e));
  }
  snd_device_name_free_hint(hints);
  return out;
}

struct OutputList::Impl {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<OutputEntry> entries;
  uint64_t generation = 0;
  std::function<void()> onChange;
  bool stop = false;
  bool refreshAsked = false;
  pa_mainloop* loop = nullptr;
  std::chrono::milliseconds alsaInterval;
  std::thread thread;

  // The thread's own state.
  pa_context* ctx = nullptr;
  Clock::time_point nextConnect{}, nextAlsa{};
  std::vector<OutputEntry> alsa, sinks, sinksReading;
  bool alsaRead = false;
  bool listing = false;
  bool listAgain = false;
  bool pulseRead = false;

  void Connect() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tonvista");
    ctx = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "Tonvista outputs", props);
    pa_proplist_free(props);
    if (!ctx) return;
    pa_context_set_state_callback(ctx, OnState, this);
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) Disconnect();
  }
  void Disconnect() {
    if (ctx) {
      pa_context_set_state_callback(ctx, nullptr, nullptr);
      pa_context_set_subscribe_callback(ctx, nullptr, nullptr);
      pa_context_disconnect(ctx);
      pa_context_unref(ctx);
      ctx = nullptr;
    }
    listing = listAgain = false;
    sinks.clear();
    pulseRead = true;
  }
  static void OnState(pa_context* c, void* self) {
    auto& d = *static_cast<Impl*>(self);
    if (pa_context_get_state(c) != PA_CONTEXT_READY) return;
    pa_context_set_subscribe_callback(
        c,
        [](pa_context*, pa_subscription_event_type_t, uint32_t, void* me) {
          static_cast<Impl*>(me)->List();
        },
        self);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                          PA_SUBSCRIPTION_MASK_SERVER);
    if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
    d.List();
  }
  void List() {
    if (!ctx || pa_context_get_state(ctx) != PA_CONTEXT_READY) return;
    if (listing) {
      listAgain = true;
      return;
    }
    sinksReading.clear();
    if (pa_operation* op = pa_context_get_sink_info_list(ctx, OnSink, this)) {
      pa_operation_unref(op);
      listing = true;
    }
  }
  static void OnSink(pa_context*, const pa_sink_info* i, int eol, void* self) {
    auto& d = *static_cast<Impl*>(self);
    if (!eol) {
      if (i && i->name)
        d.sinksReading.push_back(
            {OutputKind::Pulse, i->name, i->description ? i->description : i->name});
      return;
    }
    d.listing = false;
    d.sinks = std::move(d.sinksReading);
    d.pulseRead = true;
    if (d.listAgain) {
      d.listAgain = false;
      d.List();
    }
    d.Publish();
  }
  void Publish() {
    if (!pulseRead || !alsaRead) return;
    std::vector<OutputEntry> now{DefaultOutput()};
    now.insert(now.end(), sinks.begin(), sinks.end());
    now.insert(now.end(), alsa.begin(), alsa.end());
    std::function<void()> notify;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (generation > 0 && now == entries) return;
      entries = std::move(now);
      ++generation;
      notify = onChange;
      changed.notify_all();
    }
    if (notify) notify();
  }
  void Run() {
    const auto startedAt = Clock::now();
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (stop) break;
        if (refreshAsked) {
          refreshAsked = false;
          nextAlsa = Clock::now();
          List();
        }
      }
      const auto now = Clock::now();
      if (ctx) {
        const pa_context_state_t st = pa_context_get_state(ctx);
        if (st == PA_CONTEXT_FAILED || st == PA_CONTEXT_TERMINATED) {
          Disconnect();
          nextConnect = now + kReconnect;
          Publish();
        }
      }
      if (!ctx && now >= nextConnect) {
        nextConnect = now + kReconnect;
        Connect();
        if (!ctx) {
          pulseRead = true;
          Publish();
        }
      }
      if (!pulseRead && now >= startedAt + std::chrono::seconds(1)) {
        pulseRead = true;
        Publish();
      }
      if (now >= nextAlsa) {
        nextAlsa = now + alsaInterval;
        alsa = AlsaPlaybackOutputs();
        alsaRead = true;
        Publish();
      }
      auto due = nextAlsa;
      if (!ctx) due = std::min(due, nextConnect);
      if (!pulseRead) due = std::min(due, startedAt + std::chrono::seconds(1));
      const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now());
      const int timeout = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, kMaxSleepUs));
      if (pa_mainloop_prepare(loop, timeout) < 0 || pa_mainloop_poll(loop) < 0 ||
          pa_mainloop_dispatch(loop) < 0)
        break;
    }
    Disconnect();
  }
};

OutputList::OutputList(std::chrono::milliseconds alsaInterval) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.alsaInterval = alsaInterval;
  d.loop = pa_mainloop_new();
  if (!d.loop) {
    d.entries.push_back(DefaultOutput());
    const auto alsa = AlsaPlaybackOutputs();
    d.entries.insert(d.entries.end(), alsa.begin(), alsa.end());
    d.generation = 1;
    return;
  }
  d.thread = std::thread([&d] { d.Run(); });
}

OutputList::~OutputList() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stop = true;
    pa_mainloop_wakeup(d.loop);
  }
  d.thread.join();
  pa_mainloop_free(d.loop);
}

std::vector<OutputEntry> OutputList::Entries() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->generation == 0) return {DefaultOutput()};
  return impl_->entries;
}

uint64_t OutputList::Generation() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->generation;
}

uint64_t OutputList::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] { return impl_->generation > seen; });
  return impl_->generation;
}

void OutputList::SetOnChange(std::function<void()> onChange) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->onChange = std::move(onChange);
}

void OutputList::Refresh() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->refreshAsked = true;
  if (impl_->loop) pa_mainloop_wakeup(impl_->loop);
}
