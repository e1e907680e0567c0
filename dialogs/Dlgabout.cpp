#include "Dlgabout.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QScreen>

#include "Formcontrols.h"

TFAbout* FAbout = nullptr;

std::function<bool(const QUrl&)> TFAbout::OpenUrl = [](const QUrl& url) {
  return QDesktopServices::openUrl(url);
};

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::blue);
  setPalette(pal);
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
  QLabel::mouseReleaseEvent(event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return ||
      event->key() == Qt::Key_Enter) {
    emit clicked();
    return;
  }
  QLabel::keyPressEvent(event);
}

TFAbout::TFAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  FAbout = this;
  setWindowTitle("About Tonvista");
  UseFormFont(this);

  Panel = new QFrame(this);
  Panel->setFrameShape(QFrame::Panel);
  Panel->setFrameShadow(QFrame::Sunken);
  Panel->setGeometry(8, 8, 281, 209);

  Label1 = MakeLabel("Tonvista", Panel, 16, 14);
  QFont title = Label1->font();
  title.setBold(true);
  title.setPixelSize(16);
  Label1->setFont(title);
  Label1->adjustSize();

  Label2 = MakeLabel("Version:", Panel, 16, 52);
  Label5 = MakeLabel("V1.9", Panel, 80, 52);
  Label4 = MakeLabel("Date:", Panel, 16, 72);
  Label7 = MakeLabel("July 2006", Panel, 80, 72);
  Label3 = MakeLabel("The Tonvista developers", Panel, 16, 112);
  Label8 = MakeLabel("Mail:", Panel, 16, 144);
  Label10 = new TLinkLabel(kMail, Panel);
  Label10->move(80, 144);
  Label10->adjustSize();
  Label10->setAccessibleName(QString("Mail ") + kMail);
  Label9 = MakeLabel("Web:", Panel, 16, 164);
  Label11 = new TLinkLabel(kWeb, Panel);
  Label11->move(80, 164);
  Label11->adjustSize();
  Label11->setAccessibleName(QString("Web ") + kWeb);

  Button1 = new QPushButton("OK", this);
  Button1->setGeometry(111, 228, 75, 25);
  Button1->setAccessibleName("OK");
  Button1->setDefault(true);
  setTabOrder(Label10, Label11);
  setTabOrder(Label11, Button1);

  connect(Button1, &QPushButton::clicked, this, &TFAbout::Button1Click);
  connect(Label10, &TLinkLabel::clicked, this, &TFAbout::Label10Click);
  connect(Label11, &TLinkLabel::clicked, this, &TFAbout::Label11Click);

  setFixedSize(297, 263);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TFAbout::~TFAbout() {
  if (FAbout == this) FAbout = nullptr;
}

void TFAbout::Present() {
  show();
  raise();
  activateWindow();
}

void TFAbout::Button1Click() {
  hide();
  emit Closed();
}

void TFAbout::reject() {
  Button1Click();
}

// A missing mail or web handler ends the click quietly: there is nothing the user could do.
void TFAbout::Label10Click() {
  OpenUrl(QUrl(QString("mailto:") + kMail));
}
void TFAbout::Label11Click() {
  OpenUrl(QUrl(QString("http://") + kWeb));
}

QString WindowsVolumeControlPath(int windowsVersion, const QString& windowsDirectory,
                                 const QString& systemDirectory) {
  return (windowsVersion >= 5 ? systemDirectory : windowsDirectory) + "\\sndvol32.exe";
}

std::optional<TLaunchCommand> FindLinuxVolumeControl(const QString& path) {
  const QStringList dirs = path.split(':', Qt::SkipEmptyParts);
  auto find = [&dirs](const QString& name) -> QString {
    for (const QString& dir : dirs) {
      const QFileInfo file(QDir(dir), name);
      if (file.isFile() && file.isExecutable()) return file.absoluteFilePath();
    }
    return {};
  };
  if (QString p = find("pavucontrol"); !p.isEmpty()) return TLaunchCommand{p, {}};
  if (QString p = find("pavucontrol-qt"); !p.isEmpty()) return TLaunchCommand{p, {}};
  if (QString p = find("gnome-control-center"); !p.isEmpty()) return TLaunchCommand{p, {"sound"}};
  const QString alsamixer = find("alsamixer");
  if (alsamixer.isEmpty()) return std::nullopt;
  // gnome-terminal takes the command after "--"; the others after "-e".
  const std::pair<const char*, const char*> terminals[] = {{"x-terminal-emulator", "-e"},
                                                           {"xterm", "-e"},
                                                           {"konsole", "-e"},
                                                           {"xfce4-terminal", "-e"},
                                                           {"gnome-terminal", "--"}};
  for (const auto& [name, option] : terminals)
    if (QString p = find(name); !p.isEmpty())
      return TLaunchCommand{p, {QString(option), alsamixer}};
  return std::nullopt;
}

void StartVolumeControl(int windowsVersion, const QString& windowsDirectory,
                        const QString& systemDirectory) {
#ifdef Q_OS_WIN
  QProcess::startDetached(
      WindowsVolumeControlPath(windowsVersion, windowsDirectory, systemDirectory), {});
#else
  Q_UNUSED(windowsVersion);
  Q_UNUSED(windowsDirectory);
  Q_UNUSED(systemDirectory);
  if (const auto command = FindLinuxVolumeControl(qEnvironmentVariable("PATH")))
    QProcess::startDetached(command->Program, command->Arguments);
#endif
}
