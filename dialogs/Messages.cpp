#include "Messages.h"

#include <QFont>
#include <QGuiApplication>
#include <QMessageBox>
#include <cstdio>
#include <stdexcept>

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
