// The "About Tonvista" dialog, and the start of the desktop's volume control.
#pragma once

#include <QDialog>

class TFAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFAbout(QWidget* parent = nullptr);
  ~TFAbout() override;
};

extern TFAbout* FAbout;

// "Vol. Ctrl.": starts the system's volume-control program (quietly does nothing when there
// is none). The version class and directories are the main window's start-up fields.
void StartVolumeControl(int windowsVersion, const QString& windowsDirectory,
                        const QString& systemDirectory);
