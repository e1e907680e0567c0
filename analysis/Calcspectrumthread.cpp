#include "Calcspectrumthread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QMetaObject>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "Audiodataacquisition.h"
#include "Capturesource.h"
#include "Fft.h"
#include "Spectrumcore.h"

struct TCalcSpectrumThread::Impl {
  std::vector<SpectrumConsumer*> consumers;
  StreamConsumer* stream = nullptr;

  // The settings the main window set last, taken whole at each block's start.
  mutable std::mutex settingsMutex;
  Settings latest;
  // The run's Averages and MaxHold, fixed at the start.
  int Averages = 1;
  int MaxHold = 0;
  // The shown block's settings: what ShowResults hands over with it.
  Settings shown;

  std::atomic<bool> terminated{false};
  std::atomic<int> blocksShown{0};
  std::atomic<bool> inputEnded{false};

  // Hand-over: the worker changes nothing that ShowResults reads until the user-interface
  // thread has shown the block, or until Shutdown says that nothing may be shown any more.
  std::mutex mutex;
  std::condition_variable changed;
  bool shuttingDown = false;
  uint64_t handOverId = 0;
  uint64_t shownId = 0;

  // The run's input, replaced at a block boundary when another is picked. sourceMutex guards
  // the pointer (Shutdown interrupts it from the user-interface thread), not the source.
  mutable std::mutex sourceMutex;
  std::unique_ptr<CaptureSource> source;
  InputEntry sourceInput;
  bool interrupted = false;
  int brokenOfEarlierSources = 0;

  // The source for the fetched input, made afresh when the pick changed; the old one is closed
  // first.
  CaptureSource& Source() {
    if (source && sourceInput == next.Input) return *source;
    std::unique_ptr<CaptureSource> old;
    {
      std::lock_guard<std::mutex> lock(sourceMutex);
      old = std::move(source);
    }
    if (old) old->Release();
    auto fresh = MakeCaptureSource(next.Input);
    std::lock_guard<std::mutex> lock(sourceMutex);
    if (old) brokenOfEarlierSources += old->BrokenBlocks();
    if (interrupted) fresh->Interrupt();
    source = std::move(fresh);
    sourceInput = next.Input;
    attachedTo = nullptr;  // the fresh source may reuse a gone one's address
    return *source;
  }

  // The stream's while it listens: held from the first attach to the run's end.
  SampleStream* heldStream = nullptr;
  SampleStream* attachedStream = nullptr;
  CaptureSource* attachedTo = nullptr;

  // At a block boundary: the capture feeds the stream only while its consumer listens.
  void AttachStream(CaptureSource& capture) {
    StreamConsumer* consumer = stream;
    if (!consumer) return;
    SampleStream* want = nullptr;
    if (consumer->Listening()) {
      if (!heldStream) heldStream = consumer->AcquireStream(this);
      want = heldStream;
    }
    if (want == attachedStream && &capture == attachedTo) return;
    capture.SetStream(want);
    attachedStream = want;
    attachedTo = &capture;
  }

  // After the last source is released: nothing feeds the stream any more.
  void ReleaseStream() {
    if (heldStream) stream->ReleaseStream(this);
    heldStream = attachedStream = nullptr;
  }

  void InterruptSource() {
    std::lock_guard<std::mutex> lock(sourceMutex);
    interrupted = true;
    if (source) source->Interrupt();
  }

  // The block's results, views into the core's arrays (valid until its next block).
  int n = 0;
  int h = 0;
  // Frames the capture returned for this block; fewer than n is a dropout, not silence.
  int FramesRecorded = 0;
  std::vector<double> Samples, SamplesR;
  // A file's block as read, before it becomes Samples (the worker's alone).
  std::vector<double> RecordedL, RecordedR;
  std::span<const double> Level, LevelR, Magnitude, MagnitudeR, BlockMagnitude, BlockMagnitudeR,
      Frequency, MaxLevel, MaxLevelR;

  // Per-run state (history and max hold), sized for the run's block length and channel count.
  std::unique_ptr<Spectrumcore> core;

  // What the next block is recorded with: fetched while the last one may still be shown, and
  // made the shown block's only once it has been.
  Settings next{};

  void FetchSettings() {
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      next = latest;
    }
    next.Averages = Averages;
    next.MaxHold = MaxHold;
  }

  static bool ValidSettings(Settings& s) {
    const double lengthPart = std::floor(s.FFTLength);
    if (!(lengthPart >= 2.0 && lengthPart <= 1048576.0)) return false;
    const auto length = static_cast<uint32_t>(lengthPart);
    if ((length & (length - 1)) != 0) return false;
    if (s.NumChannels != 1 && s.NumChannels != 2) return false;
    if (!(s.SamplingRate >= 1.0 && s.SamplingRate <= 1e6)) return false;
    if (s.WindowIndex < 0 || s.WindowIndex > 4) s.WindowIndex = WindowRectangular;
    return true;
  }

  // Until the block handed over as `id` is shown; false when it never will be (Shutdown).
  bool AwaitShown(uint64_t id) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return shownId == id || shuttingDown; });
    return shownId == id;
  }

  // Records a block with the fetched settings into the worker's own buffers, then, once the
  // block handed over as `pending` (0: none) has been shown, computes its results. Recording
  // while the block before is shown spares the worker a sleep and a wake-up a block. False
  // when the run must end without showing it.
  bool ComputeBlock(uint64_t pending) {
    Settings& s = next;
    const int frames = static_cast<int>(s.FFTLength);
    CaptureSource& capture = Source();
    // A file brings its own rate and channels; the settings come back with a live input.
    const CaptureSource::Format own = capture.OwnFormat();
    if (own.rate > 0) {
      s.SamplingRate = own.rate;
      s.NumChannels = own.channels;
      if (!ValidSettings(s)) {
        inputEnded = true;
        return false;
      }
    }
    AttachStream(capture);
    int recorded = 0;
    std::optional<AudioDataAcquisition> acquisition;
    if (own.rate > 0) {
      // Read as doubles, so that deeper formats keep their precision; no further whole
      // block ends the run with the last one still shown.
      RecordedL.resize(static_cast<size_t>(frames));
      RecordedR.resize(static_cast<size_t>(frames));
      recorded = capture.ReadBlock(RecordedL.data(), RecordedR.data(), frames);
      if (capture.Interrupted()) return false;
      if (recorded < frames) {
        inputEnded = true;
        return false;
      }
    } else {
      acquisition.emplace(s.NumChannels, frames, static_cast<int>(s.SamplingRate), &capture);
      recorded = acquisition->AcquireBlock();
      if (capture.Interrupted()) return false;
    }
    if (pending != 0 && !AwaitShown(pending)) return false;

    shown = s;
    n = frames;
    h = static_cast<int>(shown.FFTLength * 0.5);
    FramesRecorded = recorded;
    // Should the block length or channel count change anyway, history and max hold start
    // afresh rather than be read out of bounds.
    const int channels = shown.NumChannels;
    if (!core || !core->Fits(n, channels))
      core = std::make_unique<Spectrumcore>(n, channels, Averages, MaxHold == 1);
    if (acquisition) {
      Samples.resize(static_cast<size_t>(n));
      if (channels == 2) {
        SamplesR.resize(static_cast<size_t>(n));
        acquisition->GetStereo(Samples.data(), SamplesR.data(), n);
      } else {
        acquisition->GetMono(Samples.data(), n);
      }
    } else {
      Samples.swap(RecordedL);
      SamplesR.swap(RecordedR);
    }
    const double* samples[] = {Samples.data(), SamplesR.data()};
    core->Process(samples, shown.WindowIndex, shown.CorrFactor, shown.SamplingRate,
                  shown.FFTLength);
    Level = core->Level(0);
    Magnitude = core->Magnitude(0);
    BlockMagnitude = core->BlockMagnitude(0);
    MaxLevel = core->MaxLevel(0);
    if (channels == 2) {
      LevelR = core->Level(1);
      MagnitudeR = core->Magnitude(1);
      BlockMagnitudeR = core->BlockMagnitude(1);
      MaxLevelR = core->MaxLevel(1);
    }
    Frequency = core->Frequency();
    return true;
  }

  // User-interface thread; the worker changes nothing that it reads until it is done.
  void ShowResults() {
    const bool stereo = shown.NumChannels == 2;
    const bool maxHold = MaxHold == 1;
    SpectrumBlock block;
    static_cast<Settings&>(block) = shown;
    block.Bins = h;
    block.Frequency = Frequency.data();
    block.LevelL = Level.data();
    block.LevelR = stereo ? LevelR.data() : nullptr;
    block.MagnitudeL = Magnitude.data();
    block.MagnitudeR = stereo ? MagnitudeR.data() : nullptr;
    block.BlockMagnitudeL = BlockMagnitude.data();
    block.BlockMagnitudeR = stereo ? BlockMagnitudeR.data() : nullptr;
    block.MaxLevelL = maxHold ? MaxLevel.data() : nullptr;
    block.MaxLevelR = maxHold && stereo ? MaxLevelR.data() : nullptr;
    block.Frames = n;
    block.SamplesL = Samples.data();
    block.SamplesR = stereo ? SamplesR.data() : nullptr;
    block.FramesRecorded = FramesRecorded;
    for (SpectrumConsumer* c : consumers)
      if (c && c->Receiving()) c->ShowSpectrum(block);
  }
};

TCalcSpectrumThread::TCalcSpectrumThread(const Settings& settings,
                                         std::vector<SpectrumConsumer*> consumers,
                                         StreamConsumer* stream, bool CreateSuspended)
    : impl_(new Impl) {
  impl_->consumers = std::move(consumers);
  impl_->stream = stream;
  impl_->latest = settings;
  impl_->Averages = settings.Averages;
  impl_->MaxHold = settings.MaxHold;
  impl_->shown = settings;
  // Runs on this object's thread (the user-interface thread) once the loop has ended.
  connect(this, &QThread::finished, this, [this] {
    bool deliver;
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      deliver = !impl_->shuttingDown;
    }
    if (deliver && OnTerminate) OnTerminate(this);
    deleteLater();
  });
  if (!CreateSuspended) start(QThread::LowPriority);
}

TCalcSpectrumThread::~TCalcSpectrumThread() {
  delete impl_;
}

void TCalcSpectrumThread::SetSettings(const Settings& settings) {
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->latest = settings;
}

void TCalcSpectrumThread::Terminate() {
  impl_->terminated = true;
}

bool TCalcSpectrumThread::Terminated() const {
  return impl_->terminated;
}

int TCalcSpectrumThread::BlocksShown() const {
  return impl_->blocksShown;
}

bool TCalcSpectrumThread::InputEnded() const {
  return impl_->inputEnded;
}

int TCalcSpectrumThread::BrokenBlocks() const {
  std::lock_guard<std::mutex> lock(impl_->sourceMutex);
  return impl_->brokenOfEarlierSources + (impl_->source ? impl_->source->BrokenBlocks() : 0);
}

CaptureState TCalcSpectrumThread::InputState() const {
  std::lock_guard<std::mutex> lock(impl_->sourceMutex);
  return impl_->source ? impl_->source->State() : CaptureState::Idle;
}

bool TCalcSpectrumThread::Shutdown(int timeoutMs) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->shuttingDown = true;
    impl_->terminated = true;
    impl_->changed.notify_all();
  }
  impl_->InterruptSource();
  if (!wait(QDeadlineTimer(timeoutMs))) return false;
  // Pairs with the worker's last unlock: everything it did is visibly done before the caller
  // frees what the worker read (the windows), also to a thread checker, which cannot see the
  // synchronisation inside QThread::wait.
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return true;
}

void TCalcSpectrumThread::run() {
  Impl& d = *impl_;
  if (d.Averages < 1) return;
  // Below normal priority: QThread's priority has no effect on Linux's default scheduler.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), getpriority(PRIO_PROCESS, 0) + 1);

  uint64_t pending = 0;  // handed over, perhaps not shown yet
  while (!d.terminated) {
    d.FetchSettings();
    if (!Impl::ValidSettings(d.next)) break;
    if (!d.ComputeBlock(pending)) break;

    uint64_t id = 0;
    {
      // Published under the lock that the receiving side takes first, so that all this block's
      // data are visibly handed over (also to a thread checker, which cannot see inside Qt's
      // own event queue). Posted after it is let go: the user interface, woken on the other
      // core, would otherwise find it still held and sleep once more.
      std::lock_guard<std::mutex> lock(d.mutex);
      if (d.shuttingDown) break;
      id = ++d.handOverId;
    }
    QMetaObject::invokeMethod(
        this,
        [this, id] {
          Impl& ui = *impl_;
          {
            // The worker gave this block up (Shutdown): the windows may be gone.
            std::lock_guard<std::mutex> guard(ui.mutex);
            if (ui.shuttingDown || ui.handOverId != id) return;
          }
          ui.ShowResults();
          {
            std::lock_guard<std::mutex> guard(ui.mutex);
            ui.shownId = id;
            ++ui.blocksShown;
          }
          // Outside the lock: the worker woken while it is held would only wait for it again.
          ui.changed.notify_all();
        },
        Qt::QueuedConnection);
    pending = id;
  }
  // Every block handed over is shown before the run ends, the last one too.
  if (pending != 0) d.AwaitShown(pending);
  if (d.source) d.source->Release();
  d.ReleaseStream();
  std::lock_guard<std::mutex> lock(d.mutex);  // see Shutdown
}
