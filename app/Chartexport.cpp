// "Save Chart...": the window and the plot as bitmaps and the traces as a text table.
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"

bool TSaveDialog::Execute(QWidget* parent) {
  if (Runner) return Runner(*this);
  // "description|patterns" becomes "description (pattern pattern ...)".
  const QStringList parts = Filter.split('|');
  QString filter;
  if (parts.size() == 2) filter = parts[0] + " (" + QString(parts[1]).replace(';', ' ') + ")";
  const QString chosen = QFileDialog::getSaveFileName(parent, Title, FileName, filter, nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty()) return false;
  FileName = chosen;
  return true;
}

namespace {

void AppendNumber(std::string& out, double v) {
  // "%f" with a point whatever the C library's locale.
  char buffer[400];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  out.append(buffer, r.ptr);
}

}  // namespace

bool TMainwindow::WriteChartText(const QString& path, QString* error) {
  static const char* const names[] = {"L", "R", "Lmax", "Rmax"};
  const TChartSeries* series[] = {Series1, Series2, Series3, Series4};
  std::vector<int> included;
  for (int i = 0; i < 4; ++i)
    if (series[i]->PointCount() >= 2) included.push_back(i);

  std::string text;
  if (!included.empty()) {
    text = "F-Axis[Hz]";
    for (int i : included)
      text += std::string(" , Data ") + names[i] + "[dB]";
    text += "\r\n";
    // Rows past the shortest trace have no data: the table stops there.
    long rows = static_cast<long>(std::ceil(FFTLength * 0.5));
    for (int i : included)
      rows = std::min<long>(rows, series[i]->PointCount());
    const TChartSeries* first = series[included.front()];
    for (long row = 0; row < rows; ++row) {
      AppendNumber(text, first->XValues()[static_cast<size_t>(row)]);
      for (int i : included) {
        text += " , ";
        AppendNumber(text, series[i]->YValues()[static_cast<size_t>(row)]);
      }
      text += "\r\n";
    }
  }

  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.flush()) {
    if (error) *error = file.errorString();
    return false;
  }
  file.close();
  if (file.error() != QFileDevice::NoError) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

void TMainwindow::BSaveChartClick() {
  // The window as it is now, before the dialog covers it: with its frame where the platform
  // lets us read the screen, else the client area.
  QImage window;
  if (QGuiApplication::platformName() == QLatin1String("xcb") && screen()) {
    const QRect outer = frameGeometry();
    window = screen()->grabWindow(0, outer.x(), outer.y(), outer.width(), outer.height()).toImage();
  }
  if (window.isNull()) window = grab().toImage();
  SaveDialog1.Filter = QStringLiteral("*.txt *.bmp|*.TXT;*.txt;*.BMP;*.bmp");
  if (SaveDialog1.Execute(this)) {
    const QString f = SaveDialog1.FileName;
    QStringList failures;
    QString reason;
    if (!WriteBitmap24(window, f + ".bmp", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + ".bmp"), reason);
    if (!Chart1->SaveChartBitmap(f + "_" + "plot" + ".bmp", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + "_plot.bmp"), reason);
    if (!WriteChartText(f + ".txt", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + ".txt"), reason);
    if (!failures.isEmpty())
      ShowMessage(this, QStringLiteral("The chart could not be saved.\n") + failures.join('\n'));
  }
  BStop->setFocus();
}
