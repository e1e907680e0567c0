// The "Distortion" tool window: fundamental, THD, THD+N, SINAD and SNR of each channel, from
// each block's own magnitudes (not the main window's average), their powers averaged over the
// last few blocks when asked, as `tonvista-analyse --measure --average K` does.
#pragma once

#include <QWidget>
#include <array>
#include <atomic>
#include <optional>
#include <vector>

#include "Distortion.h"
#include "Distortionreport.h"
#include "Framepacing.h"

class QComboBox;
class QLabel;
class QPushButton;

class TFDistortion : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  static constexpr int kMaxAverages = 20;

  explicit TFDistortion(QWidget* parent = nullptr);
  ~TFDistortion() override;

  bool Receiving() const override { return receiving_.load(std::memory_order_relaxed); }

  void CAveragesChange();
  void Button1Click();  // "Close"

  // The figures behind the read-outs, per channel; Valid false where a column shows "---".
  std::array<DistortionResult, 2> Results{};
  int Updates = 0;  // how often the read-outs were refreshed (at most once a frame)
  long BlocksAveraged() const { return average_ ? average_->Blocks() : 0; }

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
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // Every block goes into the average; the figures are measured at the frame's tick.
  bool Take(const SpectrumBlock& block) override;
  void Draw(const SpectrumBlock& block) override;

 private:
  void ResetAverage();
  void Measure();
  void ShowResults();

  std::atomic<bool> receiving_{false};
  std::optional<PowerAverage> average_;
  int bins_ = 0;
  double fftLength_ = 0;
  double rate_ = 0;
  int window_ = -1;
  int channels_ = 0;
  double corrFactor_ = 0;
};

extern TFDistortion* FDistortion;
