// Sound files for tests, written with libsndfile from samples in the analyser's 16-bit scale
// (full scale 32768).
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

namespace tvtest {

// Interleaved frames: channel c is a sine of frequency[c % size] Hz at `amplitude`.
inline std::vector<double> Sines(int rate, int channels, int64_t frames,
                                 const std::vector<double>& frequency, double amplitude = 16000.0) {
  std::vector<double> s(static_cast<size_t>(frames) * static_cast<size_t>(channels));
  for (int64_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s[static_cast<size_t>(i * channels + c)] =
          amplitude *
          std::sin(2 * std::numbers::pi * frequency[static_cast<size_t>(c) % frequency.size()] *
                   static_cast<double>(i) / rate);
  return s;
}

// Writes interleaved samples as `format` (SF_FORMAT_WAV | SF_FORMAT_PCM_16, ...): integer
// formats get them rounded to 16 bits, written exactly whatever their depth; float formats
// get x / 32768 as it is. Returns libsndfile's reason, "" on success.
inline std::string WriteSoundFile(const std::string& path, int format, int rate, int channels,
                                  const std::vector<double>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return sf_strerror(nullptr);
  const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
  const int sub = format & SF_FORMAT_SUBMASK;
  sf_count_t written = 0;
  if (sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE) {
    std::vector<double> d(samples.size());
    for (size_t i = 0; i < d.size(); ++i)
      d[i] = samples[i] / 32768.0;
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    written = sf_writef_double(f, d.data(), frames);
  } else {
    // As ints scaled by 2^16 every integer depth holds the 16-bit values exactly.
    std::vector<int> v(samples.size());
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = static_cast<int>(std::lround(std::clamp(samples[i], -32768.0, 32767.0))) * 65536;
    written = sf_writef_int(f, v.data(), frames);
  }
  const std::string error = written == frames ? "" : sf_strerror(f);
  sf_close(f);
  return written == frames ? error : (error.empty() ? "short write" : error);
}

// A 16-bit WAV of whole channels of 16-bit values, each channel as long as the first.
inline std::string WriteWav16(const std::string& path, int rate,
                              const std::vector<std::vector<short>>& channels) {
  const size_t n = channels.size(), frames = channels[0].size();
  std::vector<double> interleaved(frames * n);
  for (size_t i = 0; i < frames; ++i)
    for (size_t c = 0; c < n; ++c)
      interleaved[i * n + c] = channels[c][i];
  return WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, static_cast<int>(n),
                        interleaved);
}

}  // namespace tvtest
