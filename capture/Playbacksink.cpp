#include "Playbacksink.h"

#include <algorithm>
#include <cstring>

#include "Alsaplayback.h"
#include "Audiodataacquisition.h"
#include "Outputlist.h"
#include "Pulseplayback.h"

std::string PlaybackStateText(PlaybackState state, const std::string& outputName) {
  switch (state) {
    case PlaybackState::Idle:
      return {};
    case PlaybackState::Playing:
      return "playing";
    case PlaybackState::OutputGone:
      return "output gone: " + outputName;
    case PlaybackState::DeviceBusy:
      return "device busy";
    case PlaybackState::FormatRefused:
      return "format not supported";
  }
  return {};
}

std::unique_ptr<PlaybackSink> MakePlaybackSink(const OutputEntry& output) {
  switch (output.kind) {
    case OutputKind::Pulse:
      return std::make_unique<PulsePlayback>(output.name);
    case OutputKind::Alsa:
      return std::make_unique<AlsaPlayback>(output.name);
    case OutputKind::Default:
      // ALSA's default through the pulse plugin is the server's default sink: played to
      // directly, without the plugin's own thread.
      if (AlsaDefaultIsPulseDefault()) return std::make_unique<PulsePlayback>(std::string());
      break;
  }
  return std::make_unique<AlsaPlayback>("default");
}

const std::vector<uint8_t>& PlaybackBytes::Convert(const PlaybackFormat& f, const double* samples,
                                                   int frames) {
  const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(f.channels);
  if (f.format == SampleFormat::Float) {
    bytes_.resize(count * sizeof(float));
    for (size_t i = 0; i < count; ++i) {
      const float v = static_cast<float>(std::clamp(samples[i], -1.0, 1.0));
      std::memcpy(bytes_.data() + i * sizeof v, &v, sizeof v);
    }
    return bytes_;
  }
  if (!quantiser_ || quantiserFormat_ != f.format) {
    quantiser_ =
        std::make_unique<SampleQuantiser>(f.format, SampleQuantiser::DefaultDither(f.format));
    quantiserFormat_ = f.format;
  }
  if (f.format == SampleFormat::Pcm16) {
    bytes_.resize(count * sizeof(int16_t));
    for (size_t i = 0; i < count; ++i) {
      const auto v = static_cast<int16_t>(quantiser_->Quantise(samples[i]));
      std::memcpy(bytes_.data() + i * sizeof v, &v, sizeof v);
    }
  } else {
    bytes_.resize(count * sizeof(int32_t));
    for (size_t i = 0; i < count; ++i) {
      const int32_t v = quantiser_->Quantise(samples[i]);
      std::memcpy(bytes_.data() + i * sizeof v, &v, sizeof v);
    }
  }
  return bytes_;
}
