// Two meters sharing the worker's one stream: each is fed only while it listens, one that
// listens again is told of the gap, and the stream is held by one worker at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Streamfanout.h"
#include "Streamring.h"

namespace {

class RingMeter : public StreamConsumer {
 public:
  bool Listening() const override { return listening.load(); }
  SampleStream* AcquireStream(const void* worker) override {
    const void* expected = nullptr;
    if (!holder.compare_exchange_strong(expected, worker) && expected != worker) return nullptr;
    return &ring;
  }
  void ReleaseStream(const void* worker) override {
    const void* expected = worker;
    holder.compare_exchange_strong(expected, nullptr);
  }
  // The pieces fed so far: their first sample and whether a gap came before.
  std::vector<std::pair<double, bool>> Take() {
    std::vector<std::pair<double, bool>> pieces;
    ring.Read([&](const StreamRing::Piece& p) { pieces.push_back({p.samples[0], p.afterGap}); });
    return pieces;
  }
  std::atomic<bool> listening{false};
  std::atomic<const void*> holder{nullptr};
  StreamRing ring{4096};
};

TEST(StreamFanout, FeedsTheListeningPartsAndMarksTheirGaps) {
  RingMeter a, b;
  StreamFanout fanout({&a, &b});
  EXPECT_FALSE(fanout.Listening());
  b.listening = true;
  EXPECT_TRUE(fanout.Listening());
  const int workerOne = 1, workerTwo = 2;
  SampleStream* stream = fanout.AcquireStream(&workerOne);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(fanout.AcquireStream(&workerTwo), nullptr);  // held
  EXPECT_EQ(a.holder.load(), &workerOne);                // taken for later as well
  EXPECT_EQ(b.holder.load(), &workerOne);

  double piece[4] = {1, 1, 1, 1};
  auto feed = [&](double first) {
    piece[0] = first;
    stream->Samples(piece, 2, 2, 48000);
  };
  feed(1);
  feed(2);
  EXPECT_TRUE(a.Take().empty());
  EXPECT_EQ(b.Take(), (std::vector<std::pair<double, bool>>{{1, true}, {2, false}}));

  a.listening = true;  // opened during the run
  feed(3);
  b.listening = false;
  feed(4);
  b.listening = true;
  feed(5);
  stream->Gap();
  feed(6);
  EXPECT_EQ(a.Take(),
            (std::vector<std::pair<double, bool>>{{3, true}, {4, false}, {5, false}, {6, true}}));
  EXPECT_EQ(b.Take(), (std::vector<std::pair<double, bool>>{{3, false}, {5, true}, {6, true}}));

  fanout.ReleaseStream(&workerTwo);  // not its holder: nothing changes
  EXPECT_EQ(a.holder.load(), &workerOne);
  fanout.ReleaseStream(&workerOne);
  EXPECT_EQ(a.holder.load(), nullptr);
  EXPECT_EQ(b.holder.load(), nullptr);
  ASSERT_EQ(fanout.AcquireStream(&workerTwo), stream);
  feed(7);
  EXPECT_EQ(a.Take(), (std::vector<std::pair<double, bool>>{{7, true}}));
  fanout.ReleaseStream(&workerTwo);
}

// A part held by another worker (an old run still ending) is left out, the other still fed.
TEST(StreamFanout, APartHeldElsewhereIsLeftOut) {
  RingMeter a, b;
  a.listening = b.listening = true;
  const int old = 0, worker = 1;
  ASSERT_NE(a.AcquireStream(&old), nullptr);
  StreamFanout fanout({&a, &b});
  SampleStream* stream = fanout.AcquireStream(&worker);
  ASSERT_NE(stream, nullptr);
  double piece[2] = {9, 9};
  stream->Samples(piece, 1, 2, 48000);
  EXPECT_TRUE(a.Take().empty());
  EXPECT_EQ(b.Take().size(), 1u);
  fanout.ReleaseStream(&worker);
  EXPECT_EQ(a.holder.load(), &old);  // still the old worker's
}

}  // namespace
