// The measurements reached from the chart's menu: the distortion window, the peak markers and
// the reference traces.
#include <QAction>
#include <QFile>
#include <QLocale>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

#include "Dlgdistortion.h"
#include "Fft.h"
#include "MainwindowFixture.h"
#include "Peakfinder.h"
#include "Referencetraces.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 44100;
constexpr uint32_t kN = 2048;

struct Tone {
  double bin;
  double amplitude;
};

// A trace as the worker fills it: 16-bit samples, the engine's magnitudes, levels in dB.
void FillSpectrum(TChartSeries* s, const std::vector<Tone>& tones, int window, double corr = 0) {
  std::vector<double> samples(kN);
  for (uint32_t i = 0; i < kN; ++i) {
    double x = 0;
    for (const Tone& t : tones)
      x += t.amplitude * std::sin(2 * kPi * t.bin * i / kN + 0.4);
    samples[i] = std::round(x * 32768.0);
  }
  FFT fft(kN, samples.data(), window);
  s->ClearPoints();
  for (uint32_t k = 0; k < kN / 2; ++k)
    s->AddPoint(k * kRate / kN, 20 * std::log10(std::max(fft.Levels[k], 1e-11)) + corr, clBlue);
}

double Db(double amplitude) {
  return 20 * std::log10(amplitude);
}

// Read-outs never group digits.
QString Fixed(double v, int decimals) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(v, 'f', decimals);
}

QAction* Entry(TMainwindow* w, const QString& caption) {
  for (QAction* a : w->Chart1->ChartMenu()->actions())
    if (a->text() == caption) return a;
  ADD_FAILURE() << "no entry " << caption.toStdString();
  return nullptr;
}

}  // namespace

class Measurements : public MainwindowTest {
 protected:
  void SetUp() override {
    saved_ = QLocale();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    MainwindowTest::SetUp();
    w->Chart1->resize(780, 435);
    // Stereo, the stored 44100 Hz and 2048 points, "Blackman Harris".
    w->CNumChannels->SetItemIndex(1);
    emit w->BStart->clicked();
    emit w->BStop->clicked();
  }
  void TearDown() override {
    MainwindowTest::TearDown();
    QLocale::setDefault(saved_);
  }
  void Trigger(const QString& caption) {
    if (QAction* a = Entry(w, caption)) a->trigger();
  }
  QLocale saved_;
};

TEST_F(Measurements, EveryEntryHasItsShortcut) {
  const std::pair<const char*, const char*> entries[] = {
      {"Distortion...", "Ctrl+D"},         {"Peak", "Ctrl+P"},
      {"Peak R", "Ctrl+Shift+P"},          {"Store reference", "Ctrl+R"},
      {"Show difference", "Ctrl+Shift+D"}, {"Clear reference", "Ctrl+Shift+R"},
      {"Load reference...", "Ctrl+L"},     {"Save reference...", "Ctrl+Shift+L"}};
  for (const auto& [caption, keys] : entries) {
    QAction* a = Entry(w, caption);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->shortcut(), QKeySequence(keys)) << caption;
  }
  EXPECT_TRUE(Entry(w, "Show difference")->isCheckable());
  EXPECT_FALSE(Entry(w, "Show difference")->isChecked());
  EXPECT_TRUE(w->Chart1->MenuActionsWithoutShortcut().empty());
  // Nothing of it shows at the defaults: the chart holds the four stored traces only.
  EXPECT_EQ(w->Chart1->SeriesCount(), 4);
}

TEST_F(Measurements, TheDistortionWindowIsCreatedHiddenAndFedAsAConsumer) {
  ASSERT_NE(FDistortion, nullptr);
  EXPECT_FALSE(FDistortion->isVisible());
  EXPECT_FALSE(FDistortion->Receiving());
  const auto& list = w->SpectrumConsumers;
  EXPECT_NE(std::find(list.begin(), list.end(), FDistortion), list.end());

  // The shortcut works from the chart's window.
  w->show();
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  QTest::keyClick(w->Chart1, Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(FDistortion->isVisible());
  EXPECT_TRUE(FDistortion->Receiving());

  // A block handed to the registered consumers reaches its read-outs.
  std::vector<double> samples(kN), left(kN / 2), frequency(kN / 2), level(kN / 2);
  for (uint32_t i = 0; i < kN; ++i)
    samples[i] = std::round(
        16384 * (std::sin(2 * kPi * 100.25 * i / kN) + 0.01 * std::sin(2 * kPi * 200.5 * i / kN)));
  FFT fft(kN, samples.data(), WindowBlackmanHarris);
  for (uint32_t k = 0; k < kN / 2; ++k) {
    left[k] = fft.Levels[k];
    frequency[k] = k * kRate / kN;
    level[k] = 20 * std::log10(std::max(left[k], 1e-11));
  }
  SpectrumBlock block;
  block.Bins = kN / 2;
  block.FFTLength = kN;
  block.SamplingRate = kRate;
  block.WindowIndex = WindowBlackmanHarris;
  block.Frequency = frequency.data();
  block.LevelL = level.data();
  block.MagnitudeL = left.data();
  block.FramesRecorded = kN;
  for (SpectrumConsumer* c : list)
    if (c->Receiving()) c->ShowSpectrum(block);
  ASSERT_TRUE(FDistortion->Results[0].Valid);
  EXPECT_NEAR(FDistortion->Results[0].FundamentalHz, 100.25 * kRate / kN, 0.01 * kRate / kN);
  EXPECT_NEAR(FDistortion->Results[0].ThdDb, -40, 0.1);
  EXPECT_EQ(FDistortion->LFrequency[0]->text(),
            Fixed(FDistortion->Results[0].FundamentalHz, 2) + " Hz");

  FDistortion->Button1->click();
  EXPECT_FALSE(FDistortion->isVisible());
  EXPECT_FALSE(FDistortion->Receiving());
}

TEST_F(Measurements, PeakPutsTheMarkersBetweenBinsAndSteppingReturnsToBins) {
  const double binHz = kRate / kN;
  // A DC offset that must not count, a tone at 100.3 bins and a weaker one at 300.7; one 10
  // bins from the first (within 3 main-lobe widths) is passed over, though stronger.
  FillSpectrum(w->Series1, {{0, 0.1}, {100.3, 0.4}, {110.4, 0.25}, {300.7, 0.1}},
               WindowBlackmanHarris, 3.0);
  FillSpectrum(w->Series2, {{50.55, 0.25}}, WindowBlackmanHarris);
  Trigger("Peak");
  EXPECT_TRUE(w->CBMarker1->isChecked());
  EXPECT_TRUE(w->CBMarker2->isChecked());
  EXPECT_TRUE(w->Mark1Peak);
  EXPECT_EQ(w->CMark1->currentText(), "L");
  EXPECT_NEAR(w->Mark1Frequ, 100.3 * binHz, 0.01 * binHz);
  EXPECT_NEAR(w->Mark2Frequ, 300.7 * binHz, 0.01 * binHz);
  EXPECT_EQ(w->LMark1Frequ->text(), Fixed(w->Mark1Frequ, 2));
  EXPECT_EQ(w->LMark2Frequ->text().count('.'), 1);
  EXPECT_EQ(w->LMark2Frequ->text().section('.', 1).size(), 2);
  w->Chart1->RenderImage();
  // The level between bins on the trace's scale (a centred tone's reading, correction
  // included), to the read-out's one decimal.
  const double centred = 3.0 - 10 * std::log10(EquivalentNoiseBandwidth(WindowBlackmanHarris, kN));
  EXPECT_EQ(w->LMark1Lev->text(), Fixed(Db(0.4) + centred, 1));
  EXPECT_NEAR(w->Mark1Lev, Db(0.4) + centred, 0.05);
  EXPECT_NEAR(w->Mark2Lev, Db(0.1) + centred, 0.05);
  EXPECT_EQ(w->Mark1Bin, 100);
  EXPECT_EQ(w->Mark2Bin, 301);

  // The tone moves by most of a bin: the marker follows it at the next drawing.
  FillSpectrum(w->Series1, {{101.05, 0.5}, {300.7, 0.1}}, WindowBlackmanHarris, 3.0);
  w->Chart1->RenderImage();
  EXPECT_NEAR(w->Mark1Frequ, 101.05 * binHz, 0.01 * binHz);

  // ">" goes on from the peak's bin, with one decimal again; the level is the bin's.
  emit w->BMark1_Inc->clicked();
  EXPECT_FALSE(w->Mark1Peak);
  EXPECT_EQ(w->Mark1Bin, 102);
  EXPECT_DOUBLE_EQ(w->Mark1Frequ, 102 * binHz);
  EXPECT_EQ(w->LMark1Frequ->text(), Fixed(102 * binHz, 1));
  w->Chart1->RenderImage();
  EXPECT_DOUBLE_EQ(w->Mark1Lev, w->Series1->YValues()[102]);
  emit w->BMark2_Dec->clicked();
  EXPECT_EQ(w->Mark2Bin, 300);
  EXPECT_DOUBLE_EQ(w->Mark2Frequ, 300 * binHz);

  // "Peak R" reads the right trace. Its one tone leaves M2 the highest bump of the rounding
  // noise, more than 3 main-lobe widths (24 bins) away.
  Trigger("Peak R");
  EXPECT_EQ(w->CMark1->currentText(), "R");
  EXPECT_EQ(w->CMark2->currentText(), "R");
  EXPECT_NEAR(w->Mark1Frequ, 50.55 * binHz, 0.01 * binHz);
  EXPECT_TRUE(w->Mark2Peak);
  EXPECT_GT(std::fabs(w->Mark2Bin - 50.55), 24);
  w->Chart1->RenderImage();
  EXPECT_LT(w->Mark2Lev, Db(0.25) - 80);

  // A change of rate puts the markers back on bin 0 and ends the peak mode.
  w->CSamplingRate->setCurrentIndex(8);
  emit w->CSamplingRate->activated(8);
  EXPECT_FALSE(w->Mark1Peak);
  EXPECT_EQ(w->Mark1Bin, 0);
}

TEST_F(Measurements, PeakWithoutATraceOrToneChangesNothing) {
  // Mono: "R" is not in the lists.
  w->CNumChannels->SetItemIndex(0);
  emit w->BStart->clicked();
  emit w->BStop->clicked();
  FillSpectrum(w->Series1, {{100.3, 0.5}}, WindowBlackmanHarris);
  FillSpectrum(w->Series2, {{100.3, 0.5}}, WindowBlackmanHarris);
  Trigger("Peak R");
  EXPECT_FALSE(w->CBMarker1->isChecked());
  EXPECT_FALSE(w->Mark1Peak);
  // Silence and an empty trace have no peak.
  w->Series1->ClearPoints();
  for (int i = 0; i < 1024; ++i)
    w->Series1->AddPoint(i * kRate / kN, -220.0, clBlue);
  Trigger("Peak");
  EXPECT_FALSE(w->Mark1Peak);
  w->Series1->ClearPoints();
  Trigger("Peak");
  EXPECT_FALSE(w->Mark1Peak);
  EXPECT_TRUE(messages.isEmpty());
}

// "Peak" on live hum: 60 Hz (2.78 bins at 44.1 kHz) with a DC offset, inside DC's main lobe,
// gets M1; a tone that this resolution cannot tell from DC gets a message and no marker.
TEST_F(Measurements, PeakFindsHumNextToDcOrSaysItIsBelowTheResolution) {
  const double binHz = kRate / kN;
  FillSpectrum(w->Series1, {{0, 0.2}, {60 / binHz, 0.5}}, WindowBlackmanHarris);
  Trigger("Peak");
  ASSERT_TRUE(w->Mark1Peak);
  EXPECT_NEAR(w->Mark1Frequ, 60, 0.02 * binHz);
  EXPECT_EQ(w->LMark1Frequ->text(), "60.00");
  w->Chart1->RenderImage();
  const double centred =
      Db(0.5) - 10 * std::log10(EquivalentNoiseBandwidth(WindowBlackmanHarris, kN));
  EXPECT_NEAR(w->Mark1Lev, centred, 0.1);
  EXPECT_NEAR(w->Mark1Frequ, 60, 0.02 * binHz) << "the marker stays on the hum as it is redrawn";
  EXPECT_TRUE(messages.isEmpty());

  w->CBMarker1->setChecked(false);
  emit w->CBMarker1->clicked(false);
  FillSpectrum(w->Series1, {{0, 0.2}, {0.3, 0.5}}, WindowBlackmanHarris);
  Trigger("Peak");
  EXPECT_FALSE(w->Mark1Peak);
  EXPECT_FALSE(w->CBMarker1->isChecked());
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages[0], "fundamental below the resolution: use a longer FFT");
}

class References : public Measurements {
 protected:
  static double Level(int i) { return -40.0 - 0.01 * i; }
  QTemporaryDir dir;
};

TEST_F(References, StoreDrawsGreyBehindAndTheDifferenceFollowsTheLiveTrace) {
  const double binHz = kRate / kN;
  Fill(w->Series1, 1024, binHz, [](int i) { return -40.0 - 0.01 * i; });
  Fill(w->Series2, 1024, binHz, [](int) { return -60.0; });
  const QByteArray exportBefore = [&] {
    EXPECT_TRUE(w->WriteChartText(dir.filePath("before.txt")));
    QFile f(dir.filePath("before.txt"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();

  Trigger("Store reference");
  TReferenceTraces* r = ReferenceTraces;
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->Left.Frequency.size(), 1024u);
  EXPECT_EQ(r->Right.Level, std::vector<double>(1024, -60.0));
  // Under the live traces, grey.
  EXPECT_EQ(w->Chart1->Series(0), r->RefL);
  EXPECT_EQ(w->Chart1->Series(1), r->RefR);
  EXPECT_EQ(w->Chart1->Series(2), w->Series1);
  EXPECT_EQ(r->RefL->Colours().front(), TReferenceTraces::RefLColour);
  EXPECT_EQ(qRed(r->RefL->Colours().front()), qGreen(r->RefL->Colours().front()));
  EXPECT_EQ(r->RefL->YValues(), w->Series1->YValues());

  // The live trace moves on; the reference stays as it was stored.
  Fill(w->Series1, 1024, binHz, [](int i) { return -30.0 - 0.01 * i; });
  EXPECT_DOUBLE_EQ(r->RefL->YValues()[10], -40.1);
  EXPECT_EQ(r->DiffL->PointCount(), 0);
  EXPECT_FALSE(r->Receiving());

  Trigger("Show difference");
  EXPECT_TRUE(r->Receiving());
  ASSERT_EQ(r->DiffL->PointCount(), 1024);
  for (int i : {0, 500, 1023})
    EXPECT_NEAR(r->DiffL->YValues()[static_cast<size_t>(i)], 10.0, 1e-9) << i;
  EXPECT_NEAR(r->DiffR->YValues()[7], 0.0, 1e-12);
  // Drawn over the traces.
  EXPECT_EQ(w->Chart1->Series(w->Chart1->SeriesCount() - 2), r->DiffL);
  // The next block handed over updates it.
  Fill(w->Series1, 1024, binHz, [](int i) { return -45.0 - 0.01 * i; });
  emit w->TracesShown();
  EXPECT_NEAR(r->DiffL->YValues()[300], -5.0, 1e-9);
  // The grey, the live and the difference colours all reach the picture.
  const QImage picture = w->Chart1->RenderImage();
  int grey = 0, diff = 0;
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const QRgb p = picture.pixel(x, y) | 0xff000000u;
      grey += p == TReferenceTraces::RefLColour;
      diff += p == TReferenceTraces::DiffLColour;
    }
  EXPECT_GT(grey, 100);
  EXPECT_GT(diff, 100);

  Trigger("Show difference");
  EXPECT_FALSE(r->Receiving());
  EXPECT_EQ(r->DiffL->PointCount(), 0);

  // The export table knows nothing of references.
  EXPECT_TRUE(w->WriteChartText(dir.filePath("after.txt")));
  Fill(w->Series1, 1024, binHz, [](int i) { return -40.0 - 0.01 * i; });
  EXPECT_TRUE(w->WriteChartText(dir.filePath("after.txt")));
  QFile after(dir.filePath("after.txt"));
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), exportBefore);

  Trigger("Clear reference");
  EXPECT_TRUE(r->Left.Empty());
  EXPECT_EQ(r->RefL->PointCount(), 0);
  EXPECT_EQ(r->RefR->PointCount(), 0);
  Trigger("Show difference");
  EXPECT_FALSE(r->Receiving()) << "nothing to compare with";
  EXPECT_EQ(r->DiffL->PointCount(), 0);
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(References, SaveAndLoadRoundTripThroughTheTableFormat) {
  TReferenceTraces* r = ReferenceTraces;
  ASSERT_NE(r, nullptr);
  const double binHz = kRate / kN;
  Fill(w->Series1, 1024, binHz, [](int i) { return -40.123456 - 0.01 * i; });
  w->Series2->ClearPoints();
  QString chosen = dir.filePath("ref");
  const auto dialog = TReferenceTraces::FileDialog;
  TReferenceTraces::FileDialog = [&](QWidget*, bool) { return chosen; };

  // Nothing stored: nothing to save, and Store on an empty trace says so.
  Trigger("Save reference...");
  ASSERT_EQ(messages.size(), 1);
  EXPECT_FALSE(QFile::exists(chosen + ".txt"));
  Trigger("Store reference");
  ASSERT_TRUE(r->Right.Empty());
  Trigger("Save reference...");
  EXPECT_EQ(messages.size(), 1);
  ASSERT_TRUE(QFile::exists(chosen + ".txt")) << "a name without suffix gets .txt";
  QFile saved(chosen + ".txt");
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readLine(), "F-Axis[Hz] , Data L[dB]\r\n");
  EXPECT_EQ(saved.readLine(), "0.000000 , -40.123456\r\n");

  Trigger("Clear reference");
  chosen = dir.filePath("ref.txt");
  Trigger("Load reference...");
  EXPECT_EQ(messages.size(), 1);
  ASSERT_EQ(r->Left.Frequency.size(), 1024u);
  EXPECT_NEAR(r->Left.Frequency[1023], 1023 * binHz, 1e-6);
  EXPECT_NEAR(r->Left.Level[1023], -40.123456 - 10.23, 1e-6);
  EXPECT_EQ(r->RefL->PointCount(), 1024);

  // A table saved by "Save Chart..." is a reference too, its R included.
  Fill(w->Series2, 1024, binHz, [](int) { return -70.0; });
  ASSERT_TRUE(w->WriteChartText(dir.filePath("chart.txt")));
  ASSERT_TRUE(r->Load(dir.filePath("chart.txt")));
  EXPECT_EQ(r->Right.Level, std::vector<double>(1024, -70.0));

  // Bad files: a message, the reference as it was, no crash.
  const std::pair<const char*, QByteArray> bad[] = {
      {"garbage.txt", "\x01\x02 not a table\n"},
      {"short.txt", "F-Axis[Hz] , Data L[dB]\r\n10.000000 , -1.000000\r\n"},
      {"descending.txt",
       "F-Axis[Hz] , Data L[dB]\r\n20.000000 , -1.000000\r\n10.000000 , -2.000000\r\n"},
      {"torn.txt", "F-Axis[Hz] , Data L[dB]\r\n10.000000 , -1.0"},
      {"nan.txt", "F-Axis[Hz] , Data L[dB]\r\n10.000000 , nan\r\n20.000000 , 1.000000\r\n"}};
  for (const auto& [name, text] : bad) {
    QFile f(dir.filePath(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();
    const qsizetype before = messages.size();
    EXPECT_FALSE(r->Load(dir.filePath(name))) << name;
    ASSERT_EQ(messages.size(), before + 1) << name;
    EXPECT_TRUE(messages.last().startsWith("The reference could not be loaded.")) << name;
    EXPECT_TRUE(messages.last().contains(name)) << messages.last().toStdString();
    EXPECT_EQ(r->Right.Level, std::vector<double>(1024, -70.0)) << name;
  }
  for (const QString& path : {dir.filePath("missing.txt"), dir.path(), QString("/dev/zero")}) {
    EXPECT_FALSE(r->Load(path)) << path.toStdString();
    EXPECT_EQ(r->Left.Frequency.size(), 1024u);
  }
  // Saving where it cannot be written says so.
  chosen = dir.filePath("no/such/folder/ref.txt");
  const qsizetype before = messages.size();
  Trigger("Save reference...");
  ASSERT_EQ(messages.size(), before + 1);
  EXPECT_TRUE(messages.last().startsWith("The reference could not be saved."));
  // A cancelled dialog does nothing.
  chosen.clear();
  Trigger("Load reference...");
  Trigger("Save reference...");
  EXPECT_EQ(messages.size(), before + 1);
  TReferenceTraces::FileDialog = dialog;
}
