// The program's entry: the application object, the five windows, the message loop.
#include <QFont>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "Application.h"
#include "Mainwindowtonvista.h"

namespace {

QtMessageHandler previousHandler = nullptr;

// Without a display the toolkit aborts with a long plug-in diagnosis; say it in one line.
void MessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg && message.contains(QLatin1String("platform plugin"))) {
    std::fprintf(stderr, "tonvista: cannot open a display; run it from a desktop session.\n");
    std::_Exit(1);
  }
  if (type == QtWarningMsg && (message.contains(QLatin1String("could not connect to display")) ||
                               message.contains(QLatin1String("platform plugin"))))
    return;
  if (previousHandler) previousHandler(type, context, message);
}

// Each frame changes a few columns of the plot. Through a shared-memory image the toolkit must
// wait for the X server before every paint (it may still be reading the last one); sending the
// changed pixels over the socket costs less, for the program and the server alike. Returns
// whether it set the variable, which the toolkit reads once, when it connects.
bool PreferSocketPuts() {
  if (qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) return false;
  qputenv("QT_XCB_NO_MITSHM", "1");
  return true;
}

bool DisplayConfigured() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (!DisplayConfigured()) {
    std::fprintf(stderr,
                 "tonvista: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it from "
                 "a desktop session.\n");
    return 1;
  }
  previousHandler = qInstallMessageHandler(MessageHandler);
  const bool setSocketPuts = PreferSocketPuts();
  TApplication app(argc, argv);
  // Programs started from here (a browser for the help) choose for themselves.
  if (setSocketPuts) qunsetenv("QT_XCB_NO_MITSHM");
  app.setQuitOnLastWindowClosed(false);
  QApplication::setFont(TonvistaFont());
  try {
    TonvistaWindows windows;
    QObject::connect(Mainwindow, &TMainwindow::Closed, &app, &QCoreApplication::quit);
    Mainwindow->show();
    app.exec();
  } catch (...) {
    ReportException(std::current_exception());
  }
  return 0;
}
