// "Save Chart...": the window image, the chart image and the text table of the traces.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <clocale>

#include "MainwindowFixture.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QList<QByteArray> Lines(const QByteArray& text) {
  QList<QByteArray> lines = text.split('\n');
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

int BitsPerPixel(const QByteArray& bmp) {
  if (bmp.size() < 30 || !bmp.startsWith("BM")) return -1;
  return static_cast<unsigned char>(bmp[28]) | static_cast<unsigned char>(bmp[29]) << 8;
}

}  // namespace

class Export : public MainwindowTest {
 protected:
  void SetUp() override {
    MainwindowTest::SetUp();
    ASSERT_TRUE(dir.isValid());
  }
  // Selects a sampling rate and FFT length as a Start would read them.
  void Settings(int rateIndex, int lengthIndex) {
    w->CSamplingRate->setCurrentIndex(rateIndex);
    w->CFFTLength->setCurrentIndex(lengthIndex);
    w->ReadSettings();
  }
  QByteArray Table() {
    const QString path = dir.filePath("table.txt");
    EXPECT_TRUE(w->WriteChartText(path));
    return ReadAll(path);
  }
  QTemporaryDir dir;
};

TEST_F(Export, MonoExampleHasItsHeaderAndRowsWithCrLf) {
  Settings(0, 0);  // 8000 Hz, 256 points
  Fill(w->Series1, 128, 31.25, [](int i) { return i == 0 ? -150.0 : -20.0 - i * 0.5; });
  const QByteArray text = Table();
  const QList<QByteArray> lines = Lines(text);
  ASSERT_EQ(lines.size(), 129);
  EXPECT_EQ(lines[0], "F-Axis[Hz] , Data L[dB]\r");
  EXPECT_EQ(lines[1], "0.000000 , -150.000000\r");
  EXPECT_TRUE(lines[2].startsWith("31.250000 , -20.500000"));
  EXPECT_EQ(lines[128], "3968.750000 , -83.500000\r");
  for (const QByteArray& line : lines)
    EXPECT_TRUE(line.endsWith('\r'));
  EXPECT_EQ(text.count("\r\n"), text.count('\n'));
  EXPECT_TRUE(text.endsWith("\r\n"));
}

TEST_F(Export, EveryTraceMaskGivesItsHeader) {
  const char* headers[] = {
      "",
      "F-Axis[Hz] , Data L[dB]",
      "F-Axis[Hz] , Data R[dB]",
      "F-Axis[Hz] , Data L[dB] , Data R[dB]",
      "F-Axis[Hz] , Data Lmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data Lmax[dB]",
      "F-Axis[Hz] , Data R[dB] , Data Lmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data R[dB] , Data Lmax[dB]",
      "F-Axis[Hz] , Data Rmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data R[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data R[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data Lmax[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data Lmax[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data R[dB] , Data Lmax[dB] , Data Rmax[dB]",
      "F-Axis[Hz] , Data L[dB] , Data R[dB] , Data Lmax[dB] , Data Rmax[dB]",
  };
  Settings(0, 0);
  TChartSeries* series[] = {w->Series1, w->Series2, w->Series3, w->Series4};
  for (int mask = 0; mask < 16; ++mask) {
    for (int bit = 0; bit < 4; ++bit) {
      // A trace with a single point counts as empty.
      series[bit]->ClearPoints();
      const int points = mask & (1 << bit) ? 128 : bit % 2;
      for (int i = 0; i < points; ++i)
        series[bit]->AddPoint(i * 31.25, -(bit + 1.0), clBlue);
    }
    const QList<QByteArray> lines = Lines(Table());
    if (mask == 0) {
      EXPECT_TRUE(lines.isEmpty());
      continue;
    }
    ASSERT_EQ(lines.size(), 129) << mask;
    EXPECT_EQ(lines[0], QByteArray(headers[mask]) + "\r") << mask;
    EXPECT_EQ(lines[1].count(" , "), QByteArray(headers[mask]).count(" , ")) << mask;
  }
}

TEST_F(Export, StereoMaxHoldGivesFiveColumnsAndDeletingRLeavesMaskOne) {
  Settings(0, 0);
  Fill(w->Series1, 128, 31.25, [](int) { return -10.0; });
  Fill(w->Series2, 128, 31.25, [](int) { return -20.0; });
  Fill(w->Series3, 128, 31.25, [](int) { return -5.0; });
  Fill(w->Series4, 128, 31.25, [](int) { return -150.0; });
  QList<QByteArray> lines = Lines(Table());
  EXPECT_EQ(lines[0], "F-Axis[Hz] , Data L[dB] , Data R[dB] , Data Lmax[dB] , Data Rmax[dB]\r");
  EXPECT_EQ(lines[2], "31.250000 , -10.000000 , -20.000000 , -5.000000 , -150.000000\r");

  // A stopped stereo run without max hold whose "R" was deleted in the options dialog.
  w->Series3->ClearPoints();
  w->Series4->ClearPoints();
  w->Series2->ClearPoints();
  lines = Lines(Table());
  EXPECT_EQ(lines[0], "F-Axis[Hz] , Data L[dB]\r");
  EXPECT_EQ(lines[1], "0.000000 , -10.000000\r");
}

TEST_F(Export, TheTableStopsAtTheShortestTrace) {
  Settings(7, 7);  // 32768 points asked for, but the traces hold fewer
  Fill(w->Series1, 128, 31.25, [](int) { return -10.0; });
  Fill(w->Series3, 100, 31.25, [](int) { return -5.0; });
  const QList<QByteArray> lines = Lines(Table());
  EXPECT_EQ(lines.size(), 101);
  EXPECT_EQ(lines.last(), "3093.750000 , -10.000000 , -5.000000\r");
}

TEST_F(Export, NumbersKeepThePointWhateverTheLocale) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  const std::string cLocale = std::setlocale(LC_NUMERIC, nullptr);
  const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  Settings(0, 0);
  Fill(w->Series1, 128, 31.25, [](int i) { return -0.5 * i; });
  const QList<QByteArray> lines = Lines(Table());
  std::setlocale(LC_NUMERIC, cLocale.c_str());
  QLocale::setDefault(saved);
  EXPECT_EQ(lines[2], "31.250000 , -0.500000\r");
  const QRegularExpression decimalComma("\\d,\\d");
  for (const QByteArray& line : lines)
    EXPECT_FALSE(decimalComma.match(line).hasMatch());
  if (!german) std::printf("note: the C library has no de_DE locale here; Qt's was German\n");
}

TEST_F(Export, SaveChartWritesThreeFilesUnderTheChosenName) {
  Settings(0, 0);
  Fill(w->Series1, 128, 31.25, [](int) { return -30.0; });
  w->show();
  QString filter, title, preset;
  w->SaveDialog1.Runner = [&](TSaveDialog& d) {
    filter = d.Filter;
    title = d.Title;
    preset = d.FileName;
    d.FileName = dir.filePath("F");
    return true;
  };
  w->BStart->setFocus();
  emit w->BSaveChart->clicked();
  // Back on Stop after saving, as after a cancelled save below.
  EXPECT_EQ(w->focusWidget(), w->BStop);
  EXPECT_EQ(filter, "*.txt *.bmp|*.TXT;*.txt;*.BMP;*.bmp");
  EXPECT_EQ(title, "Save Files as...");
  EXPECT_EQ(preset, "Chart1");
  EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();

  const QByteArray window = ReadAll(dir.filePath("F.bmp"));
  const QByteArray plot = ReadAll(dir.filePath("F_plot.bmp"));
  EXPECT_EQ(BitsPerPixel(window), 24);
  EXPECT_EQ(BitsPerPixel(plot), 24);
  const QImage windowImage = QImage::fromData(window, "BMP");
  const QImage plotImage = QImage::fromData(plot, "BMP");
  EXPECT_EQ(windowImage.size(), w->size());
  EXPECT_EQ(plotImage.size(), w->Chart1->size());
  EXPECT_EQ(Lines(ReadAll(dir.filePath("F.txt"))).size(), 129);
  // The dialog keeps the chosen name for the next time.
  EXPECT_EQ(w->SaveDialog1.FileName, dir.filePath("F"));

  // Cancelling writes nothing.
  w->SaveDialog1.Runner = [&](TSaveDialog& d) {
    d.FileName = dir.filePath("G");
    return false;
  };
  w->BStart->setFocus();
  emit w->BSaveChart->clicked();
  EXPECT_EQ(w->focusWidget(), w->BStop);
  EXPECT_FALSE(QFile::exists(dir.filePath("G.txt")));
  EXPECT_FALSE(QFile::exists(dir.filePath("G.bmp")));
}

TEST_F(Export, AFolderThatCannotBeWrittenIsReportedAndNothingIsPretended) {
  Settings(0, 0);
  Fill(w->Series1, 128, 31.25, [](int) { return -30.0; });
  // A regular file where the folder should be: nothing can be created below it (even as root).
  const QString notAFolder = dir.filePath("plain");
  {
    QFile f(notAFolder);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  w->SaveDialog1.Runner = [&](TSaveDialog& d) {
    d.FileName = notAFolder + "/F";
    return true;
  };
  emit w->BSaveChart->clicked();
  ASSERT_EQ(messages.size(), 1);
  for (const char* name : {"F.bmp", "F_plot.bmp", "F.txt"})
    EXPECT_TRUE(messages[0].contains(name)) << messages[0].toStdString();
  EXPECT_TRUE(messages[0].contains("could not", Qt::CaseInsensitive));

  QString reason;
  EXPECT_FALSE(w->WriteChartText(notAFolder + "/F.txt", &reason));
  EXPECT_FALSE(reason.isEmpty());
}

// Export faults: each failing file is named in one message and nothing else is claimed.
class ExportFaults : public Export {
 protected:
  void SetUp() override {
    Export::SetUp();
    Settings(0, 0);
    Fill(w->Series1, 128, 31.25, [](int) { return -30.0; });
  }
  void TearDown() override {
    for (const QString& path : immutable)
      Attr("-i", path);
    Export::TearDown();
  }
  void SaveAs(const QString& name) {
    w->SaveDialog1.Runner = [name](TSaveDialog& d) {
      d.FileName = name;
      return true;
    };
    messages.clear();
    emit w->BSaveChart->clicked();
  }
  // chattr: root ignores permission bits, but not the immutable attribute.
  static bool Attr(const char* flag, const QString& path) {
    const QByteArray cmd =
        QByteArray("chattr ") + flag + " '" + path.toLocal8Bit() + "' 2>/dev/null";
    return std::system(cmd.constData()) == 0;
  }
  static const QStringList& Suffixes() {
    static const QStringList s = {".bmp", "_plot.bmp", ".txt"};
    return s;
  }
  QStringList immutable;
};

TEST_F(ExportFaults, AMissingFolderIsNamedAndNothingIsCreated) {
  const QString base = dir.filePath("missing/F");
  SaveAs(base);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].startsWith("The chart could not be saved.")) << messages[0].toStdString();
  for (const QString& suffix : Suffixes()) {
    EXPECT_TRUE(messages[0].contains(base + suffix)) << messages[0].toStdString();
    EXPECT_FALSE(QFile::exists(base + suffix));
  }
}

TEST_F(ExportFaults, ANameWithSpacesAndNonAsciiLettersIsSavedAndReadsBack) {
  const QString folder = dir.filePath(QString::fromUtf8("Messungen Grüße ÄÖÜ ß é 测试"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString base = folder + QString::fromUtf8("/Spektrum mit Leerzeichen – Ωmega");
  SaveAs(base);
  EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
  const QList<QByteArray> lines = Lines(ReadAll(base + ".txt"));
  ASSERT_EQ(lines.size(), 129);
  EXPECT_EQ(lines[0], "F-Axis[Hz] , Data L[dB]\r");
  EXPECT_EQ(lines[2], "31.250000 , -30.000000\r");
  EXPECT_EQ(QImage(base + ".bmp", "BMP").size(), w->size());
  EXPECT_EQ(QImage(base + "_plot.bmp", "BMP").size(), w->Chart1->size());
}

TEST_F(ExportFaults, AFullDiskIsReportedForEveryFile) {
  // /dev/full takes the open and refuses every byte with "No space left on device".
  const QString base = dir.filePath("F");
  for (const QString& suffix : Suffixes())
    ASSERT_TRUE(QFile::link("/dev/full", base + suffix));
  SaveAs(base);
  ASSERT_EQ(messages.size(), 1);
  for (const QString& suffix : Suffixes())
    EXPECT_TRUE(messages[0].contains(base + suffix + ": ")) << messages[0].toStdString();
  EXPECT_EQ(messages[0].count("No space left on device"), 3) << messages[0].toStdString();
  QString reason;
  EXPECT_FALSE(w->WriteChartText("/dev/full", &reason));
  EXPECT_TRUE(reason.contains("No space")) << reason.toStdString();
}

TEST_F(ExportFaults, AnExistingReadOnlyFileIsNamedAndKeptWhileTheOthersAreWritten) {
  const QString base = dir.filePath("F");
  {
    QFile old(base + ".txt");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("earlier table\n");
  }
  if (!Attr("+i", base + ".txt")) GTEST_SKIP() << "this file system cannot make a file immutable";
  immutable << base + ".txt";
  SaveAs(base);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains(base + ".txt: ")) << messages[0].toStdString();
  EXPECT_FALSE(messages[0].contains(base + ".bmp")) << messages[0].toStdString();
  EXPECT_EQ(ReadAll(base + ".txt"), "earlier table\n");
  EXPECT_EQ(QImage(base + ".bmp", "BMP").size(), w->size());
  EXPECT_EQ(QImage(base + "_plot.bmp", "BMP").size(), w->Chart1->size());
}
