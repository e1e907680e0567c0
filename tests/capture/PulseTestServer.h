// A private sound server for the input tests (scripts/sound-test-server: PulseAudio or PipeWire
// with its pulse server, as TONVISTA_TEST_SOUND_SERVER or the machine has it), with null sinks
// loaded and unloaded through pactl, and a check that nothing reaches stderr.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "AlsaTestDevice.h"

namespace tvtest {

class PulseTestServer {
 public:
  PulseTestServer() {
    std::ofstream(dir_.File("client.conf")) << "autospawn = no\n";
    setenv("PULSE_CLIENTCONFIG", dir_.File("client.conf").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.File("run").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir_.File("run/pulse/native")).c_str(), 1);
  }
  ~PulseTestServer() {
    Script("stop");
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_CLIENTCONFIG");
  }
  bool Start() { return Script("start"); }
  bool Stop() { return Script("stop"); }
  // A null sink named `name` described as `description`; returns its module index or -1.
  int AddSink(const std::string& name, const std::string& description) {
    std::string out;
    // The server's argument parser takes the quoted value whole (no quotes in descriptions).
    const bool ok = Run("pactl load-module module-null-sink sink_name=" + name +
                            " \"sink_properties='device.description=\\\"" + description + "\\\"'\"",
                        &out);
    return ok ? std::atoi(out.c_str()) : -1;
  }
  bool Unload(int module) { return Run("pactl unload-module " + std::to_string(module)); }
  // A steady tone into the named sink.
  bool Tone(const std::string& sink, int freq, int rate, int channels) {
    return Script("tone-into", sink + " " + std::to_string(freq) + " " + std::to_string(rate) +
                                   " " + std::to_string(channels) + " 0.5");
  }
  bool Quiet() { return Script("quiet"); }
  bool SetDefaultSource(const std::string& source) {
    return Run("pactl set-default-source " + source);
  }
  // "pulseaudio" or "pipewire".
  static std::string Kind() {
    std::string out;
    Run("bash " TONVISTA_SOURCE_DIR "/scripts/sound-test-server kind", &out);
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back())))
      out.pop_back();
    return out;
  }

 private:
  bool Script(const std::string& cmd, const std::string& args = "") {
    return Run("bash " TONVISTA_SOURCE_DIR "/scripts/sound-test-server " + cmd + " " + dir_.Path() +
               " " + args);
  }
  static bool Run(const std::string& command, std::string* out = nullptr) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return false;
    std::string text;
    std::array<char, 256> buf;
    while (fgets(buf.data(), buf.size(), p))
      text += buf.data();
    const int rc = pclose(p);
    EXPECT_EQ(rc, 0) << command << ": " << text;
    if (out) *out = text;
    return rc == 0;
  }
  TempDir dir_;
};

// Whatever the code under test writes to stderr between construction and Text().
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(2);
    file_ = std::tmpfile();
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    std::rewind(file_);
    std::stringstream s;
    int c;
    while ((c = std::fgetc(file_)) != EOF)
      s << static_cast<char>(c);
    return s.str();
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

// Magnitude spectrum of one channel of interleaved samples (Hann window, plain DFT over the
// bins up to maxHz): the frequency of the strongest bin, and the level in dB at given frequencies
// relative to it.
struct Spectrum {
  std::vector<double> mag;
  double binHz = 0;
  double PeakHz() const {
    size_t best = 1;
    for (size_t k = 1; k < mag.size(); ++k)
      if (mag[k] > mag[best]) best = k;
    return best * binHz;
  }
  double PeakMag() const {
    double m = 0;
    for (size_t k = 1; k < mag.size(); ++k)
      m = std::max(m, mag[k]);
    return m;
  }
  // Strongest bin within 2 bins of f, in dB below the peak.
  double RelativeDb(double f) const {
    const long k = std::lround(f / binHz);
    double m = 1e-12;
    for (long j = std::max(1L, k - 2); j <= k + 2 && j < static_cast<long>(mag.size()); ++j)
      m = std::max(m, mag[j]);
    return 20 * std::log10(m / PeakMag());
  }
};

inline Spectrum SpectrumOf(const std::vector<int16_t>& s, int channels, int channel, int rate,
                           double maxHz) {
  const size_t n = s.size() / channels;
  Spectrum out;
  out.binHz = static_cast<double>(rate) / n;
  const size_t bins = static_cast<size_t>(maxHz / out.binHz);
  out.mag.assign(bins, 0.0);
  for (size_t k = 0; k < bins; ++k) {
    std::complex<double> acc = 0;
    const std::complex<double> step = std::polar(1.0, -2 * std::numbers::pi * k / n);
    std::complex<double> w = 1;
    for (size_t i = 0; i < n; ++i, w *= step) {
      const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / n);
      acc += w * (hann * s[i * channels + channel]);
    }
    out.mag[k] = std::abs(acc);
  }
  return out;
}

}  // namespace tvtest
