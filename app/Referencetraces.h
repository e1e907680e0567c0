// Reference traces on the spectrum chart: "Store reference" keeps L (and R) as they are now,
// drawn grey behind the live traces; "Show difference" draws live minus reference on the same
// level axis, around 0 dB; references are saved to and loaded from the text table of
// "Save Chart...", so an exported table can be the reference of a later run. They are not
// traces of the export table.
#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>

#include "Referencecurve.h"
#include "Spectrumconsumer.h"
#include "Spectrumtable.h"

class QAction;
class QWidget;
class TChartSeries;
class TMainwindow;

class TReferenceTraces : public QObject {
 public:
  // Adds the menu entries to the owner's chart; the series are added once first needed.
  explicit TReferenceTraces(TMainwindow* owner);
  ~TReferenceTraces() override;

  // While a difference is shown: it follows the live traces whenever they are filled.
  bool Receiving() const { return receiving_.load(std::memory_order_relaxed); }
  void FollowTraces();

  // Menu handlers. Failures are shown as a message, and the reference stays as it was.
  void StoreClick();
  void ClearClick();
  void ShowDifferenceClick();  // follows the entry's check mark
  void LoadClick();
  void SaveClick();
  bool Load(const QString& path);
  bool Save(const QString& path);

  // The file dialog of Load and Save: the chosen name, empty when cancelled. Replaceable
  // (tests).
  static std::function<QString(QWidget* parent, bool save)> FileDialog;

  ReferenceCurve Left, Right;
  // Grey reference traces (drawn under "L"), and the differences (drawn over the traces);
  // null until first needed.
  TChartSeries* RefL = nullptr;
  TChartSeries* RefR = nullptr;
  TChartSeries* DiffL = nullptr;
  TChartSeries* DiffR = nullptr;

  QAction* AStore = nullptr;
  QAction* AShowDifference = nullptr;
  QAction* AClear = nullptr;
  QAction* ALoad = nullptr;
  QAction* ASave = nullptr;

  static constexpr QRgb RefLColour = 0xff999999u;
  static constexpr QRgb RefRColour = 0xff666666u;
  static constexpr QRgb DiffLColour = 0xff008080u;
  static constexpr QRgb DiffRColour = 0xffc000c0u;
  // Larger files are no table of a spectrum.
  static constexpr qint64 MaxFileBytes = kMaxSpectrumTableBytes;

 private:
  void MakeSeries();
  void DrawReference();
  void UpdateDifference();
  TMainwindow* owner_;
  std::atomic<bool> receiving_{false};
};

extern TReferenceTraces* ReferenceTraces;
