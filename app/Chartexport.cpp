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
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"
#include "Spectrumtable.h"

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

bool TMainwindow::WriteChartText(const QString& path, QString* error) {
  // The same table writer as tonvista-analyse, so that the two can never differ.
  const TChartSeries* series[] = {Series1, Series2, Series3, Series4};
  std::array<TableTrace, 4> traces{};
  for (int i = 0; i < 4; ++i)
    traces[i] = {series[i]->XValues(), series[i]->YValues()};
  const std::string file = QFile::encodeName(path).toStdString();
  std::string reason;
  if (WriteSpectrumTable(file, traces, static_cast<long>(std::ceil(FFTLength * 0.5)), &reason))
    return true;
  // The caller names the file itself.
  if (reason.starts_with(file + ": ")) reason.erase(0, file.size() + 2);
  if (error) *error = QString::fromLocal8Bit(reason);
  return false;
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
