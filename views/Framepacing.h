// What the tool windows know of the application's frame pacing (TFramePacer): while a window's
// paint waits for the end of the frame, a block that arrives is only kept, and the newest one
// kept is shown just before that paint. Without a pacer every block is shown at once.
#pragma once

#include <QEvent>
#include <functional>
#include <vector>

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

// The newest block of two arrays of equal length, kept while a window's paint waits.
class KeptBlock {
 public:
  void Keep(const double* a, const double* b, int n) {
    first_.assign(a, a + n);
    second_.assign(b, b + n);
    kept_ = true;
  }
  void Drop() { kept_ = false; }
  // Hands a kept block to show(a, b, n), once.
  template <class F>
  void Release(F&& show) {
    if (!kept_) return;
    kept_ = false;
    show(first_.data(), second_.data(), static_cast<int>(first_.size()));
  }

 private:
  std::vector<double> first_, second_;
  bool kept_ = false;
};

}  // namespace FramePacing
