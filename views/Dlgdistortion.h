// The "Distortion" tool window: fundamental, THD, THD+N, SINAD and SNR of each channel, from the
// magnitudes of every block, averaged over the last few blocks when asked.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <vector>

#include "Distortion.h"
#include "Spectrumconsumer.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

class TFDistortion : public QWidget, public SpectrumConsumer {
  Q_OBJECT
 public:
  static constexpr int kMaxAverages = 20;
  // Read-outs change at most this often, however fast the blocks come.
  static constexpr int MinUpdateInterval = 100;  // ms

  explicit TFDistortion(QWidget* parent = nullptr);
  ~TFDistortion() override;

  bool Receiving() const override { return receiving_.load(std::memory_order_relaxed); }
  void ShowSpectrum(const SpectrumBlock& block) override;

  void CAveragesChange();
  void Button1Click();  // "Close"

  // The figures behind the read-outs, per channel; Valid false where a column shows "---".
  std::array<DistortionResult, 2> Results{};
  int Updates = 0;  // how often the read-outs were refreshed

  QComboBox* CAverages = nullptr;
  QPushButton* Button1 = nullptr;
  std::array<QLabel*, 2> LFrequency{};
  std::array<QLabel*, 2> LLevel{};
  std::array<QLabel*, 2> LThdDb{};
  std::array<QLabel*, 2> LThdPct{};
  std::array<QLabel*, 2> LThdNDb{};
  std::array<QLabel*, 2> LThdNPct{};
  std::array<QLabel*, 2> LSinad{};
  std::array<QLabel*, 2> LSnr{};
  // Empty, or why a channel has no figures ("L: fundamental below the resolution: ...").
  QLabel* LNote = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ResetAverage();
  void Measure();
  void ShowResults();

  std::atomic<bool> receiving_{false};
  // The last blocks' powers (squared magnitudes) per channel, and their running sum.
  std::array<std::vector<std::vector<double>>, 2> history_;
  std::array<std::vector<double>, 2> sum_;
  int filled_ = 0;
  int next_ = 0;
  int bins_ = 0;
  double fftLength_ = 0;
  double rate_ = 0;
  int window_ = -1;
  int channels_ = 0;
  double corrFactor_ = 0;
  QElapsedTimer sinceUpdate_;
  QTimer* pending_ = nullptr;
};

extern TFDistortion* FDistortion;
