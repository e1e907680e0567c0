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
  TApplication app(argc, argv);
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
