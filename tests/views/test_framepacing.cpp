// The one pacing model of the windows that follow the blocks: every block is taken, the newest
// is drawn at once or, while the window's paint waits, once at the frame's tick, from a copy that
// outlives the hand-over.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QWidget>
#include <vector>

#include "Framepacing.h"

namespace {

// A window that records what it takes and what it draws.
class Paced : public QWidget, public TPacedView {
 public:
  Paced() : TPacedView(this) {}
  bool Receiving() const override { return true; }
  bool takeIt = true;
  std::vector<double> taken;  // LevelL[0] of every block taken
  std::vector<SpectrumBlock> drawn;
  std::vector<std::vector<double>> drawnLevels, drawnSamples;

 protected:
  bool event(QEvent* e) override { return PacingEvent(e) || QWidget::event(e); }
  bool Take(const SpectrumBlock& b) override {
    if (takeIt) taken.push_back(b.LevelL[0]);
    return takeIt;
  }
  void Draw(const SpectrumBlock& b) override {
    drawn.push_back(b);
    drawnLevels.emplace_back(b.LevelL, b.LevelL + b.Bins);
    drawnSamples.emplace_back(b.SamplesL, b.SamplesL + b.Frames);
  }
};

struct Hook {
  decltype(FramePacing::PaintDeferred) previous = FramePacing::PaintDeferred;
  ~Hook() { FramePacing::PaintDeferred = previous; }
};

// A block over arrays the test owns, as the worker's are: reused for the next block.
struct Source {
  std::vector<double> frequency{0, 10, 20}, level{-1, -2, -3}, samples{1, 2, 3, 4, 5, 6};
  SpectrumBlock Block() {
    SpectrumBlock b;
    b.Bins = 3;
    b.Frames = 6;
    b.FFTLength = 6;
    b.SamplingRate = 60;
    b.CorrFactor = 1.5;
    b.Frequency = frequency.data();
    b.LevelL = level.data();
    b.SamplesL = samples.data();
    return b;
  }
};

}  // namespace

TEST(PacedView, DrawsAtOnceUnlessThePaintWaitsThenTheNewestOnceAtTheTick) {
  Hook hook;
  bool deferred = false;
  Paced w;
  FramePacing::PaintDeferred = [&](const QWidget* window) { return deferred && window == &w; };
  Source s;
  w.ShowSpectrum(s.Block());
  ASSERT_EQ(w.drawn.size(), 1u);
  EXPECT_FALSE(w.DrawPending());

  deferred = true;
  for (double first : {-10.0, -20.0, -30.0}) {
    s.level[0] = first;
    w.ShowSpectrum(s.Block());
  }
  EXPECT_EQ(w.taken, (std::vector<double>{-1, -10, -20, -30})) << "every block is taken";
  EXPECT_EQ(w.drawn.size(), 1u) << "none drawn while the paint waits";
  EXPECT_TRUE(w.DrawPending());
  // The worker reuses its arrays for the next block: the kept copy must not follow them.
  s.level = {99, 99, 99};
  s.samples.assign(6, 99);

  QEvent due(FramePacing::FrameDue());
  QCoreApplication::sendEvent(&w, &due);
  ASSERT_EQ(w.drawn.size(), 2u);
  EXPECT_EQ(w.drawnLevels[1], (std::vector<double>{-30, -2, -3}));
  EXPECT_EQ(w.drawnSamples[1], (std::vector<double>{1, 2, 3, 4, 5, 6}));
  const SpectrumBlock& kept = w.drawn[1];
  EXPECT_NE(kept.LevelL, s.level.data());
  EXPECT_EQ(kept.LevelR, nullptr) << "what the block did not bring stays absent";
  EXPECT_EQ(kept.MaxLevelL, nullptr);
  EXPECT_EQ(kept.CorrFactor, 1.5);
  EXPECT_EQ(kept.SamplingRate, 60.0);
  EXPECT_FALSE(w.DrawPending());
  // A tick with nothing new draws nothing.
  QCoreApplication::sendEvent(&w, &due);
  EXPECT_EQ(w.drawn.size(), 2u);
}

TEST(PacedView, ABlockTheWindowDoesNotTakeIsNeitherDrawnNorKept) {
  Hook hook;
  Paced w;
  FramePacing::PaintDeferred = [&](const QWidget*) { return true; };
  Source s;
  w.takeIt = false;
  w.ShowSpectrum(s.Block());
  EXPECT_FALSE(w.DrawPending());
  QEvent due(FramePacing::FrameDue());
  QCoreApplication::sendEvent(&w, &due);
  EXPECT_TRUE(w.drawn.empty());
}
