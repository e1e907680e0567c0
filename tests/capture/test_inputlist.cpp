// The list of inputs: the sound server's sources as they come and go, and the ALSA capture PCMs
// of a configuration of the test's own.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "Inputlist.h"
#include "PulseTestServer.h"

namespace {

using namespace std::chrono_literals;

const InputEntry* Find(const std::vector<InputEntry>& list, const std::string& name) {
  const auto it =
      std::find_if(list.begin(), list.end(), [&](const InputEntry& e) { return e.name == name; });
  return it == list.end() ? nullptr : &*it;
}

// Waits for a change after which `want` holds, at most 10 s.
template <class F>
bool WaitFor(const InputList& list, F want) {
  uint64_t seen = list.Generation();
  for (int i = 0; i < 100 && !want(list.Entries()); ++i)
    seen = list.WaitForChange(seen, 100ms);
  return want(list.Entries());
}

// The ALSA configuration of these tests: PCMs with descriptions, one without a hint and a card
// alias. A missing file would leave the machine's own configuration in force.
class AlsaConfig {
 public:
  AlsaConfig() {
    std::ofstream(dir_.File("asound.conf"))
        << "pcm.tvmic { type null; hint { show on; description \"Test microphone\" } }\n"
           "pcm.tvline { type null; hint { show on; description \"Test line in\" } }\n"
           "pcm.tvplain { type null }\n"
           "pcm.pulse { type null; hint { show on; description \"PulseAudio Sound Server\" } }\n"
           "pcm.sysdefault { type null; hint { show on; description \"Card alias\" } }\n"
           "pcm.speex { type null; hint { show on; description \"Plugin using Speex DSP\" } }\n";
    setenv("ALSA_CONFIG_PATH", dir_.File("asound.conf").c_str(), 1);
    snd_config_update_free_global();
  }
  ~AlsaConfig() {
    unsetenv("ALSA_CONFIG_PATH");
    snd_config_update_free_global();
  }

 private:
  tvtest::TempDir dir_;
};

TEST(AlsaCaptureInputs, ListsCapturePcmsByDescriptionAndLeavesOutTheRest) {
  AlsaConfig config;
  tvtest::StderrCapture err;
  const std::vector<InputEntry> list = AlsaCaptureInputs();
  ASSERT_NE(Find(list, "tvmic"), nullptr);
  EXPECT_EQ(Find(list, "tvmic")->description, "Test microphone");
  EXPECT_EQ(Find(list, "tvmic")->kind, InputKind::Alsa);
  ASSERT_NE(Find(list, "tvline"), nullptr);
  EXPECT_EQ(Find(list, "tvline")->description, "Test line in");
  ASSERT_NE(Find(list, "pulse"), nullptr);
  EXPECT_EQ(Find(list, "pulse")->description, "PulseAudio Sound Server");
  EXPECT_EQ(Find(list, "tvplain"), nullptr) << "not shown by its configuration";
  EXPECT_EQ(Find(list, "sysdefault"), nullptr) << "a card alias, not a device";
  EXPECT_EQ(Find(list, "speex"), nullptr) << "a filter over another device";
  EXPECT_EQ(Find(list, "default"), nullptr) << "the default input has its own entry";
  for (const InputEntry& e : list)
    EXPECT_TRUE(e.name.find(':') == std::string::npos || e.name.rfind("hw:", 0) == 0 ||
                e.name.rfind("plughw:", 0) == 0)
        << e.name;
  EXPECT_EQ(err.Text(), "");
}

TEST(InputList, FollowsTheServersSourcesAsTheyComeAndGo) {
  AlsaConfig config;
  tvtest::PulseTestServer server;
  ASSERT_TRUE(server.Start());
  ASSERT_GE(server.AddSink("tvA", "Sink A"), 0);
  tvtest::StderrCapture err;
  InputList list(200ms);
  std::atomic<int> told{0};
  list.SetOnChange([&] { ++told; });

  ASSERT_TRUE(WaitFor(list, [](const auto& l) { return Find(l, "tvA.monitor") != nullptr; }));
  std::vector<InputEntry> entries = list.Entries();
  EXPECT_EQ(entries.front(), DefaultInput());
  EXPECT_EQ(entries.front().description, "Default input (system)");
  EXPECT_EQ(Find(entries, "tvA.monitor")->description, "Monitor of Sink A");
  EXPECT_EQ(Find(entries, "tvA.monitor")->kind, InputKind::Pulse);
  // The server's own sources come before the ALSA PCMs.
  ASSERT_NE(Find(entries, "tvmic"), nullptr);
  EXPECT_LT(Find(entries, "tvA.monitor"), Find(entries, "tvmic"));

  // A source added while the list is followed appears, and the owner is told.
  const uint64_t before = list.Generation();
  const int toldBefore = told;
  const int module = server.AddSink("tvUsb", "USB microphone");
  ASSERT_GE(module, 0);
  ASSERT_TRUE(WaitFor(list, [](const auto& l) { return Find(l, "tvUsb.monitor") != nullptr; }));
  EXPECT_EQ(Find(list.Entries(), "tvUsb.monitor")->description, "Monitor of USB microphone");
  EXPECT_GT(list.Generation(), before);
  // The owner is told on the list's thread just after the entries change: allow it a moment.
  for (int i = 0; i < 200 && told.load() <= toldBefore; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GT(told.load(), toldBefore);

  // And goes again.
  ASSERT_TRUE(server.Unload(module));
  ASSERT_TRUE(WaitFor(list, [](const auto& l) { return Find(l, "tvUsb.monitor") == nullptr; }));

  // Without a server the list keeps the default input and the ALSA PCMs; a new server's
  // sources come back without a new list.
  ASSERT_TRUE(server.Stop());
  ASSERT_TRUE(WaitFor(list, [](const auto& l) { return Find(l, "tvA.monitor") == nullptr; }));
  entries = list.Entries();
  EXPECT_EQ(entries.front(), DefaultInput());
  EXPECT_NE(Find(entries, "tvmic"), nullptr);
  ASSERT_TRUE(server.Start());
  ASSERT_GE(server.AddSink("tvB", "Sink B"), 0);
  EXPECT_TRUE(WaitFor(list, [](const auto& l) { return Find(l, "tvB.monitor") != nullptr; }));
  EXPECT_EQ(err.Text(), "");
}

TEST(InputList, WithoutAnyServerListsDefaultAndAlsaAtOnce) {
  AlsaConfig config;
  tvtest::TempDir nowhere;
  setenv("PULSE_SERVER", ("unix:" + nowhere.File("none")).c_str(), 1);
  tvtest::StderrCapture err;
  {
    InputList list;
    EXPECT_GE(list.WaitForChange(0, 3000ms), 1u);
    const std::vector<InputEntry> entries = list.Entries();
    EXPECT_EQ(entries.front(), DefaultInput());
    EXPECT_NE(Find(entries, "tvmic"), nullptr);
    EXPECT_TRUE(std::none_of(entries.begin(), entries.end(),
                             [](const InputEntry& e) { return e.kind == InputKind::Pulse; }));
  }
  unsetenv("PULSE_SERVER");
  EXPECT_EQ(err.Text(), "");
}

}  // namespace
