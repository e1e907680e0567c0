#include "Octavemeter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {

// How often the meters' thread looks at the ring: the recording thread hands over pieces of
// 20 to 50 ms, so a turn finds one or two and the read-outs lag by no more than that.
constexpr auto kTurn = std::chrono::milliseconds(20);

}  // namespace

OctaveMeter::OctaveMeter(size_t ringCapacity) : ring_(ringCapacity) {}

OctaveMeter::~OctaveMeter() {
  Stop();
}

void OctaveMeter::Start() {
  if (thread_.joinable()) return;
  // The thread about to start is the ring's reader from now on; what was fed before it
  // (while no meter listened) is not this run's.
  ring_.Discard();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    reading_.valid = false;
    reading_.frames = 0;
    reading_.gaps = 0;
  }
  bank_.reset();
  appliedVersion_ = ~uint64_t{0};
  frames_ = 0;
  gaps_ = 0;
  sawPiece_ = false;
  thread_ = std::thread([this] { Run(); });
  listening_ = true;
}

void OctaveMeter::Stop() {
  listening_ = false;
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

SampleStream* OctaveMeter::AcquireStream(const void* worker) {
  const void* expected = nullptr;
  if (!holder_.compare_exchange_strong(expected, worker) && expected != worker) return nullptr;
  ++handed_;
  return &ring_;
}

void OctaveMeter::ReleaseStream(const void* worker) {
  const void* expected = worker;
  holder_.compare_exchange_strong(expected, nullptr);
}

void OctaveMeter::SetBandsPerOctave(int bandsPerOctave) {
  if (!ValidBandsPerOctave(bandsPerOctave)) return;
  Change([&] { bandsPerOctave_ = bandsPerOctave; });
}

void OctaveMeter::SetWeighting(FrequencyWeighting weighting) {
  Change([&] { weighting_ = weighting; });
}

void OctaveMeter::SetTimeWeighting(TimeWeighting weighting) {
  Change([&] { timeWeighting_ = weighting; });
}

void OctaveMeter::SetIntervalSeconds(double seconds) {
  Change([&] { intervalSeconds_ = seconds; });
}

void OctaveMeter::SetOffsetDb(double offsetDb, bool calibrated) {
  Change([&] {
    offsetDb_ = offsetDb;
    calibrated_ = calibrated;
  });
}

void OctaveMeter::SetMicrophone(std::optional<CalibrationFile> file) {
  Change([&] { microphone_ = std::move(file); });
}

void OctaveMeter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  resetWanted_ = true;
}

OctaveMeterReading OctaveMeter::Reading() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reading_;
}

namespace {

// NaN or +Inf somewhere in the levels, or no level at all right after sound (a NaN in a
// filter's state reads as silence from then on).
bool Poisoned(const OctaveFilterBank& bank, bool sound) {
  const auto bad = [](double db) { return !(db < std::numeric_limits<double>::infinity()); };
  for (int c = 0; c < bank.Channels(); ++c) {
    const SoundLevelMeter& m = bank.Broadband(c);
    if (bad(m.LevelDb(TimeWeighting::Fast)) || bad(m.LeqDb())) return true;
    if (sound && !(m.LeqDb() > -std::numeric_limits<double>::infinity())) return true;
    for (int b = 0; b < bank.BandCount(); ++b)
      if (bad(bank.BandLevelDb(c, b, TimeWeighting::Fast))) return true;
  }
  return false;
}

}  // namespace

void OctaveMeter::Run() {
  // The settings in force on this thread.
  int bandsPerOctave = 0;
  FrequencyWeighting weighting = FrequencyWeighting::Z;
  TimeWeighting timeWeighting = TimeWeighting::Fast;
  double interval = 1, offset = 0;
  bool calibrated = false;
  std::optional<CalibrationFile> microphone;
  double rate = 0;
  int channels = 0;

  // The bands go out with the levels of the same bank, never ahead of them.
  bool bandsChanged = false;
  auto design = [&] {
    bank_ = std::make_unique<OctaveFilterBank>(bandsPerOctave, rate, channels, weighting);
    bandsChanged = true;
  };
  // Offset, corrections and interval onto the bank in use.
  auto adjust = [&] {
    if (!bank_) return;
    bank_->SetOffsetDb(offset);
    std::vector<double> corrections;
    if (microphone) {
      for (const FractionalBand& band : bank_->Bands())
        corrections.push_back(microphone->CorrectionDb(band.mid));
    }
    bank_->SetBandCorrectionsDb(std::move(corrections));
    // Setting the length restarts the interval: only when it changed.
    for (int c = 0; c < bank_->Channels(); ++c)
      if (std::fabs(bank_->Broadband(c).IntervalSeconds() - std::clamp(interval, 1.0, 3600.0)) >
          1e-6)
        bank_->Broadband(c).SetIntervalSeconds(interval);
  };

  for (;;) {
    bool reset = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kTurn, [this] { return stop_; });
      if (stop_) break;
      if (appliedVersion_ != settingsVersion_) {
        appliedVersion_ = settingsVersion_;
        const bool redesign = bandsPerOctave != bandsPerOctave_ || weighting != weighting_;
        bandsPerOctave = bandsPerOctave_;
        weighting = weighting_;
        timeWeighting = timeWeighting_;
        interval = intervalSeconds_;
        offset = offsetDb_;
        calibrated = calibrated_;
        microphone = microphone_;
        lock.unlock();
        if (redesign && bank_) design();
        adjust();
        lock.lock();
      }
      reset = resetWanted_;
      resetWanted_ = false;
    }
    if (reset && bank_) {
      bank_->ResetLevels();
      for (int c = 0; c < bank_->Channels(); ++c)
        bank_->Broadband(c).ResetStatistics();
    }

    ring_.Read([&](const StreamRing::Piece& piece) {
      if (piece.afterGap && sawPiece_) ++gaps_;
      sawPiece_ = true;
      if (piece.rate <= 0 || (piece.channels != 1 && piece.channels != 2)) return;
      if (!bank_ || rate != piece.rate || channels != piece.channels) {
        rate = piece.rate;
        channels = piece.channels;
        design();
        adjust();
      }
      bank_->ProcessInterleaved(piece.samples, piece.frames);
      frames_ += static_cast<uint64_t>(piece.frames);
      // The capture lets no NaN or Inf through; should one slip in all the same, it would stay
      // in the filters' states for good: the bank starts afresh instead.
      const double* s = piece.samples;
      const bool sound = std::any_of(
          s, s + static_cast<size_t>(piece.frames) * static_cast<size_t>(piece.channels),
          [](double x) { return x != 0.0; });
      if (Poisoned(*bank_, sound)) {
        design();
        adjust();
      }
    });

    OctaveMeterReading r;
    r.bandsPerOctave = bandsPerOctave;
    r.weighting = weighting;
    r.timeWeighting = timeWeighting;
    r.offsetDb = offset;
    r.calibrated = calibrated;
    r.microphoneCorrected = microphone.has_value();
    r.frames = frames_;
    r.gaps = gaps_;
    r.intervalSeconds = interval;
    if (bank_ && bank_->Seconds() > 0) {
      r.valid = true;
      r.rate = bank_->Rate();
      r.channels = bank_->Channels();
      r.seconds = bank_->Seconds();
      for (int c = 0; c < r.channels; ++c) {
        const int count = bank_->BandCount();
        r.bandLevel[c].resize(static_cast<size_t>(count));
        r.bandLeq[c].resize(static_cast<size_t>(count));
        for (int b = 0; b < count; ++b) {
          r.bandLevel[c][static_cast<size_t>(b)] = bank_->BandLevelDb(c, b, timeWeighting);
          r.bandLeq[c][static_cast<size_t>(b)] = bank_->BandLeqDb(c, b);
        }
        const SoundLevelMeter& m = bank_->Broadband(c);
        r.level[c] = m.LevelDb(timeWeighting);
        r.levelSlow[c] = m.LevelDb(TimeWeighting::Slow);
        r.leq[c] = m.LeqDb();
        r.intervalLeq[c] = m.IntervalLeqDb();
        r.lastIntervalLeq[c] = m.LastIntervalLeqDb();
        r.lmax[c] = m.LmaxDb(timeWeighting);
        r.lmin[c] = m.LminDb(timeWeighting);
        r.peak[c] = m.PeakDb();
        r.intervalElapsed = m.IntervalElapsed();
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (bandsChanged && bank_)
      r.bands = bank_->Bands();
    else
      r.bands = std::move(reading_.bands);
    bandsChanged = false;
    reading_ = std::move(r);
  }
}
