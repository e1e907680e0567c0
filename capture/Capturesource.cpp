#include "Capturesource.h"

#include <algorithm>
#include <chrono>

#include "Audiodataacquisition.h"
#include "Filecapture.h"
#include "Inputlist.h"
#include "Pulsecapture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSilenceForNoSignal = std::chrono::seconds(2);

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string CaptureStateText(CaptureState state, const std::string& inputName) {
  switch (state) {
    case CaptureState::Idle:
      return {};
    case CaptureState::Recording:
      return "recording";
    case CaptureState::NoSignal:
      return "no signal";
    case CaptureState::InputGone:
      return "input gone: " + inputName;
    case CaptureState::DeviceBusy:
      return "device busy";
    case CaptureState::FormatRefused:
      return "format not supported";
  }
  return {};
}

std::unique_ptr<CaptureSource> MakeCaptureSource(const InputEntry& input) {
  switch (input.kind) {
    case InputKind::Pulse:
      return std::make_unique<PulseCapture>(input.name);
    case InputKind::Alsa:
      return std::make_unique<CaptureSession>(input.name);
    case InputKind::File:
      if (input.file) return std::make_unique<FileCapture>(input.file);
      break;
    case InputKind::Default:
      // The same source the plugin would record, with one thread and no lock per read.
      if (AlsaDefaultIsPulseDefault()) return std::make_unique<PulseCapture>(std::string());
      break;
  }
  return std::make_unique<CaptureSession>();
}

void SilenceWatch::Restart() {
  lastSound_ = Now();
}

void SilenceWatch::Add(const int16_t* samples, size_t count) {
  if (std::any_of(samples, samples + count, [](int16_t v) { return v != 0; })) lastSound_ = Now();
}

bool SilenceWatch::Silent() const {
  return Now() - lastSound_.load() >= std::chrono::nanoseconds(kSilenceForNoSignal).count();
}

void CaptureSource::Feed(const int16_t* samples, int frames, int channels, int rate) {
  SampleStream* stream = stream_.load(std::memory_order_acquire);
  if (!stream || frames <= 0) return;
  streamBuffer_.resize(static_cast<size_t>(frames) * static_cast<size_t>(channels));
  std::copy(samples, samples + streamBuffer_.size(), streamBuffer_.begin());
  stream->Samples(streamBuffer_.data(), frames, channels, rate);
}

void CaptureSource::Feed(const double* samples, int frames, int channels, int rate) {
  SampleStream* stream = stream_.load(std::memory_order_acquire);
  if (stream && frames > 0) stream->Samples(samples, frames, channels, rate);
}

void CaptureSource::FeedGap() {
  if (SampleStream* stream = stream_.load(std::memory_order_acquire)) stream->Gap();
}
