#include "Application.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>
#include <stdexcept>

#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Mainwindowtonvista.h"

std::function<void(QWidget* parent, const QString& text)> MessageBoxHook;

QFont TonvistaFont() {
  QFont font(QStringLiteral("Liberation Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

void ShowMessage(QWidget* parent, const QString& text) {
  if (MessageBoxHook) {
    MessageBoxHook(parent, text);
    return;
  }
  // Without a screen nobody could see or dismiss a modal box: say it on standard error.
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
    std::fprintf(stderr, "tonvista: %s\n", qPrintable(text));
    return;
  }
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Tonvista"), text, QMessageBox::Ok, parent);
  box.exec();
}

void ReportException(std::exception_ptr error) {
  QString text;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    text = QString::fromLocal8Bit(e.what());
  } catch (...) {
    text = QStringLiteral("An unknown error occurred.");
  }
  ShowMessage(nullptr, text);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::GuardedDispatch(const std::function<bool()>& dispatch) {
  try {
    return dispatch();
  } catch (...) {
    ReportException(std::current_exception());
    return false;
  }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  return GuardedDispatch([&] { return QApplication::notify(receiver, event); });
}

static void DestroyWindows() {
  // No block may arrive in a window that is being destroyed.
  if (Mainwindow) Mainwindow->ShutdownAnalyser();
  delete FBandAnalyser;
  FBandAnalyser = nullptr;
  delete FOptions;
  FOptions = nullptr;
  delete FGoniometer;
  FGoniometer = nullptr;
  delete FAbout;
  FAbout = nullptr;
  delete Mainwindow;
  Mainwindow = nullptr;
}

TonvistaWindows::TonvistaWindows() {
  try {
    // The main window publishes itself first thing in its constructor, so that code running
    // during its construction can already reach it.
    new TMainwindow;
    FAbout = new TFAbout;
    FGoniometer = new TFGoniometer;
    FOptions = new TFOptions;
    FBandAnalyser = new TFBandAnalyser;
  } catch (...) {
    DestroyWindows();
    throw;
  }
}

TonvistaWindows::~TonvistaWindows() {
  DestroyWindows();
}
