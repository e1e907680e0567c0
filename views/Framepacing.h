// How every window that follows the blocks paces itself to the screen (the application's
// TFramePacer): each block is taken as it comes, and the newest is drawn once per frame. While a
// window's paint waits for the end of the frame, a block that arrives is only kept, and the
// newest one kept is drawn just before that paint. Without a pacer every block is drawn at once.
#pragma once

#include <QEvent>
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <vector>

#include "Spectrumconsumer.h"

class QWidget;

namespace FramePacing {

// Set by the pacer: whether the window's next paint waits for the end of the current frame.
inline std::function<bool(const QWidget* window)> PaintDeferred;

inline bool Deferred(const QWidget* window) {
  return PaintDeferred && PaintDeferred(window);
}

// Sent to a window just before the pacer lets its paint through.
inline QEvent::Type FrameDue() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// A block that outlives its hand-over: the settings and every array it brings, copied.
class KeptBlock {
 public:
  void Keep(const SpectrumBlock& block) {
    block_ = block;
    const double** arrays[] = {&block_.Frequency,  &block_.LevelL,          &block_.LevelR,
                               &block_.MagnitudeL, &block_.MagnitudeR,      &block_.MaxLevelL,
                               &block_.MaxLevelR,  &block_.BlockMagnitudeL, &block_.BlockMagnitudeR,
                               &block_.SamplesL,   &block_.SamplesR};
    for (size_t i = 0; i < std::size(arrays); ++i) {
      std::vector<double>& copy = copies_[i];
      const double*& p = *arrays[i];
      if (!p) {
        copy.clear();
        continue;
      }
      const int count = i >= 9 ? block.Frames : block.Bins;
      copy.assign(p, p + std::max(count, 0));
      p = copy.data();
    }
  }
  const SpectrumBlock& Block() const { return block_; }

 private:
  SpectrumBlock block_;
  std::array<std::vector<double>, 11> copies_;
};

}  // namespace FramePacing

// The one pacing model, for the main chart and every tool window: Take sees every block (a
// history that must miss none), Draw the newest at the frame's tick. The window forwards its
// events to PacingEvent.
class TPacedView : public SpectrumConsumer {
 public:
  explicit TPacedView(const QWidget* window) : window_(window) {}

  void ShowSpectrum(const SpectrumBlock& block) final {
    if (!Take(block)) return;
    if (FramePacing::Deferred(window_)) {
      kept_.Keep(block);
      pending_ = true;
      return;
    }
    pending_ = false;
    Draw(block);
  }

  // Whether a block waits for the frame's tick.
  bool DrawPending() const { return pending_; }

 protected:
  // Every block, at once; false: the block is not for this window (nothing to draw).
  virtual bool Take(const SpectrumBlock&) { return true; }
  // The newest block taken, at most once a frame.
  virtual void Draw(const SpectrumBlock& block) = 0;

  // From the window's event(): true when it was the frame's tick (then handled).
  bool PacingEvent(QEvent* event) {
    if (event->type() != FramePacing::FrameDue()) return false;
    if (pending_) {
      pending_ = false;
      Draw(kept_.Block());
    }
    return true;
  }
  // What is kept is not drawn any more (a new run, a reset).
  void DropPending() { pending_ = false; }

 private:
  const QWidget* window_;
  FramePacing::KeptBlock kept_;
  bool pending_ = false;
};
