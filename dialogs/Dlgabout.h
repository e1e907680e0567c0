// The "About Tonvista" dialog, and the start of the desktop's volume control.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

class QFrame;
class QPushButton;

// A label that acts as a link: blue, hand cursor, opened by a click or by Space/Enter.
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

class TFAbout : public QDialog {
  Q_OBJECT
 public:
  static constexpr const char* kMail = "tonvista@example.org";
  static constexpr const char* kWeb = "www.example.org";

  explicit TFAbout(QWidget* parent = nullptr);
  ~TFAbout() override;

  // "About...": shows the one dialog, or brings it to the front when it is already open.
  void Present();

  void Button1Click();  // "OK"
  void Label10Click();  // mail
  void Label11Click();  // web

  // How the links are opened; QDesktopServices by default. Tests replace it.
  static std::function<bool(const QUrl&)> OpenUrl;

  QFrame* Panel = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label8 = nullptr;
  TLinkLabel* Label10 = nullptr;
  QLabel* Label9 = nullptr;
  TLinkLabel* Label11 = nullptr;
  QLabel* Label3 = nullptr;  // the maker
  QPushButton* Button1 = nullptr;

 signals:
  // "OK" (or Escape): the dialog is hidden.
  void Closed();

 protected:
  void reject() override;
};

extern TFAbout* FAbout;

// "Vol. Ctrl.": starts the system's volume-control program (quietly does nothing when there
// is none). The version class and directories are the main window's start-up fields.
void StartVolumeControl(int windowsVersion, const QString& windowsDirectory,
                        const QString& systemDirectory);

// The Windows volume control: the NT family (class 5 and up) keeps it in the system
// directory, the older releases and an unknown one in the Windows directory.
QString WindowsVolumeControlPath(int windowsVersion, const QString& windowsDirectory,
                                 const QString& systemDirectory);

struct TLaunchCommand {
  QString Program;  // absolute path
  QStringList Arguments;
};

// The first volume control found on the given PATH (colon-separated): pavucontrol,
// pavucontrol-qt, "gnome-control-center sound", or a terminal running alsamixer.
std::optional<TLaunchCommand> FindLinuxVolumeControl(const QString& path);
