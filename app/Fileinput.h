// "Open audio file..." in the chart's menu: a file becomes the input, listed in the Input
// submenu like the machine's inputs, with its pacing and the arrow keys on the chart seeking
// while stopped.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class FileCursor;
class QAction;
class TMainwindow;

class TFileInput : public QObject {
  Q_OBJECT
 public:
  explicit TFileInput(TMainwindow* window);
  ~TFileInput() override;

  // Makes the file at `path` the input; false, with a message box, when it cannot be read.
  bool OpenFile(const QString& path);
  // The file dialog; DialogRunner, when set, stands in for it and returns the path picked
  // ("" for none).
  void OpenWithDialog();
  std::function<QString()> DialogRunner;

  // The file of the input picked, or nullptr while a live input is.
  std::shared_ptr<FileCursor> Cursor() const;

  // Seconds that Left/Right move; Shift gives ten times as much.
  static constexpr double kStepSeconds = 1.0;

  QAction* OpenAction = nullptr;
  // Checked: blocks as fast as they are shown; unchecked (the default): in real time.
  QAction* FastAction = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  TMainwindow* window_;
  // The file last opened, listed in the Input submenu, which the pacing applies to.
  std::shared_ptr<FileCursor> opened_;
};

extern TFileInput* FileInput;
