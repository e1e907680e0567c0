#include "Inputlist.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "Jackserver.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReconnect = std::chrono::milliseconds(500);
// A bound on one sleep, should a clock step ever put a deadline far ahead.
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

bool SameMarks(const std::vector<InputEntry>& a, const std::vector<InputEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!(a[i] == b[i]) || a[i].unavailable != b[i].unavailable) return false;
  return true;
}

InputEntry DefaultInput() {
  return {InputKind::Default, "default", "Default input (system)"};
}

std::vector<InputEntry> AlsaCaptureInputs() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
  std::vector<InputEntry> out;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return out;
  for (void** h = hints; *h; ++h) {
    const std::string name = Hint(snd_device_name_get_hint(*h, "NAME")).Str();
    const std::string desc = Hint(snd_device_name_get_hint(*h, "DESC")).Str();
    const std::string ioid = Hint(snd_device_name_get_hint(*h, "IOID")).Str();
    if (name.empty() || ioid == "Output") continue;
    const bool card = StartsWith(name, "hw:") || StartsWith(name, "plughw:");
    // Processing plugins of alsa-plugins (and OSS emulation) list themselves as PCMs too, but
    // they are filters over another device, not inputs anyone picks.
    static const char* const notInputs[] = {"default",   "null",    "sysdefault", "oss",
                                            "speex",     "upmix",   "vdownmix",   "samplerate",
                                            "speexrate", "lavrate", "a52",        "usbstream"};
    bool named = name.find(':') == std::string::npos;
    for (const char* n : notInputs)
      named = named && name != n;
    if (!card && !named) continue;
    // The first line names the device; a card's second line says how it is reached, which
    // the PCM's name says more briefly.
    std::string first = desc.substr(0, desc.find('\n'));
    if (first.empty()) first = name;
    InputEntry e{InputKind::Alsa, name, card ? first + " (" + name + ")" : first};
    if (!card && IsJackPcm(name) && !JackServerRunning()) e.unavailable = kJackNoServer;
    bool seen = false;
    for (const InputEntry& o : out)
      seen = seen || o.name == name;
    if (!seen) out.push_back(std::move(e));
  }
  snd_device_name_free_hint(hints);
  return out;
}

struct InputList::Impl {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<InputEntry> entries;
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
  std::vector<InputEntry> alsa;
  bool alsaRead = false;
  struct SourceInfo {
    uint32_t index;
    std::string name, description;
    uint32_t monitorOf;
  };
  std::vector<SourceInfo> sources, sourcesReading;
  std::map<uint32_t, std::string> sinks, sinksReading;
  int listsPending = 0;    // answers still to come for the reading in flight
  bool listAgain = false;  // an event arrived while reading
  bool pulseRead = false;  // a first answer (or the certainty that there is no server)

  void Run();
  void Connect();
  void Disconnect();
  void List();
  void ListDone();
  void Publish();

  static void OnState(pa_context* c, void* self);
  static void OnEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self);
  static void OnSource(pa_context*, const pa_source_info* i, int eol, void* self);
  static void OnSink(pa_context*, const pa_sink_info* i, int eol, void* self);
};

void InputList::Impl::Connect() {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Tonvista");
  ctx = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "Tonvista inputs", props);
  pa_proplist_free(props);
  if (!ctx) return;
  pa_context_set_state_callback(ctx, OnState, this);
  if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) Disconnect();
}

void InputList::Impl::Disconnect() {
  if (ctx) {
    pa_context_set_state_callback(ctx, nullptr, nullptr);
    pa_context_set_subscribe_callback(ctx, nullptr, nullptr);
    pa_context_disconnect(ctx);
    pa_context_unref(ctx);
    ctx = nullptr;
  }
  listsPending = 0;
  listAgain = false;
  sources.clear();
  sinks.clear();
  pulseRead = true;
}

void InputList::Impl::OnState(pa_context* c, void* self) {
  auto& d = *static_cast<Impl*>(self);
  const pa_context_state_t st = pa_context_get_state(c);
  if (st == PA_CONTEXT_READY) {
    pa_context_set_subscribe_callback(c, OnEvent, self);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER |
        PA_SUBSCRIPTION_MASK_CARD);
    if (pa_operation* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
    d.List();
  }
  // Failure is handled by the loop, outside the library's callback.
}

void InputList::Impl::OnEvent(pa_context*, pa_subscription_event_type_t t, uint32_t, void* self) {
  auto& d = *static_cast<Impl*>(self);
  // A new card may come with ALSA devices of its own.
  if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_CARD)
    d.nextAlsa = Clock::now();
  d.List();
}

void InputList::Impl::List() {
  if (!ctx || pa_context_get_state(ctx) != PA_CONTEXT_READY) return;
  if (listsPending > 0) {
    listAgain = true;
    return;
  }
  sourcesReading.clear();
  sinksReading.clear();
  if (pa_operation* op = pa_context_get_sink_info_list(ctx, OnSink, this)) {
    pa_operation_unref(op);
    ++listsPending;
  }
  if (pa_operation* op = pa_context_get_source_info_list(ctx, OnSource, this)) {
    pa_operation_unref(op);
    ++listsPending;
  }
}

void InputList::Impl::OnSink(pa_context*, const pa_sink_info* i, int eol, void* self) {
  auto& d = *static_cast<Impl*>(self);
  if (eol) {
    d.ListDone();
    return;
  }
  if (i) d.sinksReading[i->index] = i->description ? i->description : (i->name ? i->name : "");
}

void InputList::Impl::OnSource(pa_context*, const pa_source_info* i, int eol, void* self) {
  auto& d = *static_cast<Impl*>(self);
  if (eol) {
    d.ListDone();
    return;
  }
  if (i && i->name)
    d.sourcesReading.push_back(
        {i->index, i->name, i->description ? i->description : i->name, i->monitor_of_sink});
}

void InputList::Impl::ListDone() {
  if (--listsPending > 0) return;
  listsPending = 0;
  sources = std::move(sourcesReading);
  sinks = std::move(sinksReading);
  pulseRead = true;
  if (listAgain) {
    listAgain = false;
    List();
  }
  Publish();
}

void InputList::Impl::Publish() {
  if (!pulseRead || !alsaRead) return;
  std::vector<InputEntry> now{DefaultInput()};
  for (const SourceInfo& s : sources) {
    std::string desc = s.description;
    if (s.monitorOf != PA_INVALID_INDEX) {
      const auto sink = sinks.find(s.monitorOf);
      if (sink != sinks.end()) desc = "Monitor of " + sink->second;
    }
    now.push_back({InputKind::Pulse, s.name, desc});
  }
  now.insert(now.end(), alsa.begin(), alsa.end());
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (generation > 0 && SameMarks(now, entries)) return;
    entries = std::move(now);
    ++generation;
    notify = onChange;
    changed.notify_all();
  }
  if (notify) notify();
}

void InputList::Impl::Run() {
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
      // A server that does not answer: list what there is without it meanwhile.
      pulseRead = true;
      Publish();
    }
    if (now >= nextAlsa) {
      nextAlsa = now + alsaInterval;
      alsa = AlsaCaptureInputs();
      alsaRead = true;
      // Until the server has answered once, the list waits for it (briefly: a missing server
      // fails the connection at once).
      Publish();
    }
    // Sleeps until the next thing due; the server's news, Refresh and the end wake it sooner.
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

InputList::InputList(std::chrono::milliseconds alsaInterval) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.alsaInterval = alsaInterval;
  d.loop = pa_mainloop_new();
  if (!d.loop) {
    // No main loop, no server: the list still holds the default input and the ALSA PCMs.
    d.entries.push_back(DefaultInput());
    const auto alsa = AlsaCaptureInputs();
    d.entries.insert(d.entries.end(), alsa.begin(), alsa.end());
    d.generation = 1;
    return;
  }
  d.thread = std::thread([&d] { d.Run(); });
}

InputList::~InputList() {
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

std::vector<InputEntry> InputList::Entries() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->generation == 0) return {DefaultInput()};
  return impl_->entries;
}

uint64_t InputList::Generation() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->generation;
}

uint64_t InputList::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] { return impl_->generation > seen; });
  return impl_->generation;
}

void InputList::SetOnChange(std::function<void()> onChange) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->onChange = std::move(onChange);
}

void InputList::Refresh() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->refreshAsked = true;
  if (impl_->loop) pa_mainloop_wakeup(impl_->loop);
}
