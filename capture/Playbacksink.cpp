#include "Playbacksink.h"

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
