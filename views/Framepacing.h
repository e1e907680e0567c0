// What the tool windows know of the application's frame pacing (TFramePacer): while a window's
// paint waits for the end of the frame, a block that arrives is only kept, and the newest one
// kept is shown just before that paint. Without a pacer every block is shown at once.
#pragma once

#include <QEvent>
#include <functional>

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

}  // namespace FramePacing
