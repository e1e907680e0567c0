// Real ALSA capture without a sound card: the default device replays a raw file or is missing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvtest {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Interleaved S16 frames of one sine per channel: sample i of channel c is
// round(amplitude[c] * sin(2*pi*frequency[c]*i/rate)), clamped to -32768..32767.
// A single entry in the vectors serves every channel.
std::vector<int16_t> MakeTone(int rate, int channels, size_t frames,
                              const std::vector<double>& frequency,
                              const std::vector<double>& amplitude);

// Writes raw little-endian S16 samples (interleaved as given). Fails the test on error.
void WriteRawFile(const std::string& path, const std::vector<int16_t>& samples);

// Points ALSA's "default" at a replay of `rawFile` for capture (and a sink for playback):
// writes the configuration into `dir`, sets ALSA_CONFIG_PATH and TONVISTA_TEST_INFILE and
// drops alsa-lib's cached configuration, so it takes effect for the next open in this process.
// The replay is instant; every open starts again at the file's beginning; the file must have
// the rate and channel count the capture asks for. Past its end the capture reads zeros.
// Within one capture run the device stays open and each block after the first skips what the
// device holds (for this device the whole buffer, half a second), so make the file long
// enough: blocks * (block length + rate / 2) frames.
// Switch configurations only while no capture is in progress in this process.
// `more` is added to the configuration (further PCMs; the paced loop type is declared).
void UseReplayDevice(const std::string& dir, const std::string& rawFile,
                     const std::string& more = "");

// Points ALSA's "default" at a capture device that plays `loopFile` (interleaved S16 frames of
// `channels` channels) round and round, paced by the clock like a sound card at the rate it
// is opened with. It overruns when its reader falls a buffer behind, and on request every
// `overrunEvery` frames of a stream; with `vanishEvery` the device fails that often and only
// a fresh open brings it back; with `deadAfter` it breaks for good after that many frames while
// taking every restart, and again only a fresh open brings it back. After any stop the frames
// that passed meanwhile are lost.
void UsePacedLoopDevice(const std::string& dir, const std::string& loopFile, int channels,
                        long overrunEvery = 0, long vanishEvery = 0, long deadAfter = 0);

// Makes `body` the ALSA configuration, with the paced loop device type declared (type
// pacedloop; options loop, channels, overrun_every, vanish_every, busy, float_only,
// speed: the clock N times as fast).
void UseAlsaConfig(const std::string& dir, const std::string& body);

// How much faster than a sound card a paced device may run for a long recording: sanitizer
// builds run the reader several times slower, and a device half a second of buffer ahead would
// overrun while they catch up.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline int PacedSpeed(int fast) {
  return fast >= 4 ? fast / 4 : 1;
}
#else
inline int PacedSpeed(int fast) {
  return fast;
}
#endif

// Makes "default" a missing card, as on a machine without any sound device.
void UseNoDevice(const std::string& dir);

}  // namespace tvtest
