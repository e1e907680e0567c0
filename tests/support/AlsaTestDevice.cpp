#include "AlsaTestDevice.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace tvtest {

namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void UseConfig(const std::string& configPath) {
  setenv("ALSA_CONFIG_PATH", configPath.c_str(), 1);
  // alsa-lib keeps the parsed configuration; make the next open read the new one.
  snd_config_update_free_global();
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tonvista-test-XXXXXX").string();
  const char* made = mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr) << "cannot create a temporary directory";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<int16_t> MakeTone(int rate, int channels, size_t frames,
                              const std::vector<double>& frequency,
                              const std::vector<double>& amplitude) {
  std::vector<int16_t> out(frames * static_cast<size_t>(channels));
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double f = frequency[std::min<size_t>(c, frequency.size() - 1)];
      const double a = amplitude[std::min<size_t>(c, amplitude.size() - 1)];
      const double v = std::round(a * std::sin(2 * std::numbers::pi * f * i / rate));
      out[i * channels + c] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
  }
  return out;
}

void WriteRawFile(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (int16_t s : samples) {
    const uint16_t u = static_cast<uint16_t>(s);
    const char bytes[2] = {static_cast<char>(u & 0xff), static_cast<char>(u >> 8)};
    out.write(bytes, 2);
  }
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void UseReplayDevice(const std::string& dir, const std::string& rawFile, const std::string& more) {
  const std::string config = dir + "/asound-replay.conf";
  WriteText(config, "pcm_type.pacedloop { lib \"" TONVISTA_PACEDLOOP_PLUGIN
                    "\" }\n"
                    "pcm.!default { type file; slave.pcm { type null }; file \"/dev/null\"; "
                    "format \"raw\"; infile { @func getenv vars [ TONVISTA_TEST_INFILE ] "
                    "default \"/dev/zero\" } }\n" +
                        more);
  setenv("TONVISTA_TEST_INFILE", rawFile.c_str(), 1);
  UseConfig(config);
}

void UsePacedLoopDevice(const std::string& dir, const std::string& loopFile, int channels,
                        long overrunEvery, long vanishEvery, long deadAfter) {
  const std::string config = dir + "/asound-pacedloop.conf";
  WriteText(config, "pcm_type.pacedloop { lib \"" TONVISTA_PACEDLOOP_PLUGIN
                    "\" }\n"
                    "pcm.!default { type pacedloop; loop \"" +
                        loopFile + "\"; channels " + std::to_string(channels) + "; overrun_every " +
                        std::to_string(overrunEvery) + "; vanish_every " +
                        std::to_string(vanishEvery) + "; dead_after " + std::to_string(deadAfter) +
                        " }\n");
  UseConfig(config);
}

void UseAlsaConfig(const std::string& dir, const std::string& body) {
  const std::string config = dir + "/asound-own.conf";
  WriteText(config, "pcm_type.pacedloop { lib \"" TONVISTA_PACEDLOOP_PLUGIN "\" }\n" + body);
  UseConfig(config);
}

void UseNoDevice(const std::string& dir) {
  const std::string config = dir + "/asound-none.conf";
  WriteText(config, "pcm.!default { type hw card 99 }\n");
  UseConfig(config);
}

}  // namespace tvtest
