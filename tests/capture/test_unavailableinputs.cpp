// Inputs that cannot record: a PCM of the JACK plugin with no JACK server is marked in the list
// and recording from it keeps stderr quiet (libjack is never asked), and a PCM that cannot be
// opened is tried again at most once a second.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "AlsaTestDevice.h"
#include "Audiodataacquisition.h"
#include "Inputlist.h"
#include "Jackserver.h"
#include "PulseTestServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A JACK server name of the test's own: no server of that name runs, whatever runs here.
class NoJackServer {
 public:
  NoJackServer() {
    const char* old = std::getenv("JACK_DEFAULT_SERVER");
    if (old) saved_ = old;
    had_ = old != nullptr;
    setenv("JACK_DEFAULT_SERVER", ("tonvista-test-" + std::to_string(getpid())).c_str(), 1);
  }
  ~NoJackServer() {
    if (had_)
      setenv("JACK_DEFAULT_SERVER", saved_.c_str(), 1);
    else
      unsetenv("JACK_DEFAULT_SERVER");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

const InputEntry* Find(const std::vector<InputEntry>& list, const std::string& name) {
  const auto it =
      std::find_if(list.begin(), list.end(), [&](const InputEntry& e) { return e.name == name; });
  return it == list.end() ? nullptr : &*it;
}

class UnavailableInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    tvtest::UseAlsaConfig(
        dir.Path(),
        "pcm.tvjack { type jack; capture_ports { 0 system:capture_1 1 system:capture_2 }\n"
        "  hint { show on; description \"Test JACK\" } }\n"
        "pcm.tvmic { type null; hint { show on; description \"Test microphone\" } }\n"
        "pcm.tvgone { type hw; card 99; hint { show on; description \"Test gone\" } }\n");
  }
  tvtest::TempDir dir;
  NoJackServer noServer;
};

}  // namespace

TEST_F(UnavailableInputs, AJackPcmWithoutAServerIsMarkedAndRecordingFromItIsQuiet) {
  EXPECT_TRUE(IsJackPcm("tvjack"));
  EXPECT_FALSE(IsJackPcm("tvmic"));
  EXPECT_FALSE(JackServerRunning());
  tvtest::StderrCapture err;
  const std::vector<InputEntry> list = AlsaCaptureInputs();
  ASSERT_NE(Find(list, "tvjack"), nullptr);
  EXPECT_EQ(Find(list, "tvjack")->description, "Test JACK");
  EXPECT_EQ(Find(list, "tvjack")->unavailable, "JACK: no server");
  ASSERT_NE(Find(list, "tvmic"), nullptr);
  EXPECT_EQ(Find(list, "tvmic")->unavailable, "");
  {
    CaptureSession session("tvjack");
    std::vector<int16_t> block(2 * 2048);
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(session.Record(2, 48000, block.data(), 2048), 0);
    EXPECT_EQ(session.State(), CaptureState::InputGone);
  }
  EXPECT_EQ(err.Text(), "");
}

TEST_F(UnavailableInputs, APcmThatCannotBeOpenedIsTriedAtMostOnceASecond) {
  CaptureSession session("tvgone");
  std::vector<int16_t> block(2 * 2048);
  const auto start = Clock::now();
  // Each failed block lasts its duration (43 ms): 40 of them take 1.7 s or more.
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(session.Record(2, 48000, block.data(), 2048), 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(session.State(), CaptureState::InputGone);
  EXPECT_GE(session.OpenAttempts(), 1);
  EXPECT_LE(session.OpenAttempts(), 1 + static_cast<int>(seconds)) << seconds << " s";
  // A fresh session of the same input tries at once.
  CaptureSession again("tvgone");
  EXPECT_EQ(again.Record(2, 48000, block.data(), 2048), 0);
  EXPECT_EQ(again.OpenAttempts(), 1);
}
