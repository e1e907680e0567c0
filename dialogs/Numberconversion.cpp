#include "Numberconversion.h"

#include <QMessageBox>
#include <cmath>

namespace {

// A pasted page of text must not become a message box wider than the screen.
QString Quoted(const QString& text) {
  constexpr int kShown = 40;
  QString shown = text.size() > kShown ? text.left(kShown) + QChar(0x2026) : text;
  shown.replace(QChar(0), QChar(0xFFFD));
  return "'" + shown + "'";
}

TErrorSink& Sink() {
  static TErrorSink sink;
  return sink;
}

QLocale Strict(const QLocale& locale) {
  QLocale strict = locale;
  strict.setNumberOptions(strict.numberOptions() | QLocale::RejectGroupSeparator);
  return strict;
}

QLocale Ungrouped() {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale;
}

}  // namespace

std::optional<int> ReadInteger(const QString& text, const QLocale& locale) {
  bool ok = false;
  const int value = Strict(locale).toInt(text, &ok);
  if (!ok) return std::nullopt;
  return value;
}

std::optional<double> ReadFloat(const QString& text, const QLocale& locale) {
  bool ok = false;
  const double value = Strict(locale).toDouble(text, &ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

QString NotAnIntegerMessage(const QString& text) {
  return Quoted(text) + " is not a valid integer value";
}
QString NotAFloatMessage(const QString& text) {
  return Quoted(text) + " is not a valid floating point value";
}

void SetErrorSink(TErrorSink sink) {
  Sink() = std::move(sink);
}

void ShowInputError(QWidget* parent, const QString& message) {
  if (Sink()) {
    Sink()(parent, message);
    return;
  }
  QMessageBox::warning(parent, QStringLiteral("Tonvista"), message);
}

QString FormatReadout(double value) {
  return Ungrouped().toString(value, 'f', 1);
}

QString FormatGeneral(double value) {
  return Ungrouped().toString(value, 'g', 15);
}
