// The chart menu's "Input" submenu and the chart's state line: which input the worker records
// from, and what that input is doing.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Capturesource.h"
#include "Inputlist.h"

class QAction;
class QActionGroup;
class QMenu;
class QTimer;
class TChart;

class TInputMenu : public QObject {
  Q_OBJECT
 public:
  // Adds "Input" to the chart's menu and starts following the machine's inputs. `state` gives
  // the state of the running capture, or nullopt while stopped (user-interface thread).
  TInputMenu(TChart* chart, std::function<std::optional<CaptureState>()> state,
             QObject* parent = nullptr);
  ~TInputMenu() override;

  // The input picked; "Default input (system)" until another is picked (any thread).
  InputEntry Chosen() const;
  // Its file, if it is one: without copying the names, as every block asks (any thread).
  std::shared_ptr<FileCursor> ChosenFile() const;
  // Picks `input` (user-interface thread); a running worker takes it at its next block.
  void Choose(const InputEntry& input);
  // Lists `input` after the machine's inputs (an opened file), in place of the one offered
  // before, so that it can be picked again after another.
  void Offer(const InputEntry& input);
  // Called after every Choose (user-interface thread).
  std::function<void()> OnChosen;
  // The state line now rather than at the next poll.
  void RefreshStateLine() { UpdateStateLine(); }

  QMenu* Menu() const { return menu_; }
  InputList& Inputs() { return *inputs_; }
  // Rebuilds the entries from the list now, and the state line (user-interface thread).
  void Update();
  // The state line for the input and state (nullopt: stopped), as the chart shows it.
  static QString StateLineText(const InputEntry& input, std::optional<CaptureState> state);

 private:
  void Rebuild();
  void UpdateStateLine();
  void Step(int by);

  TChart* chart_;
  std::function<std::optional<CaptureState>()> state_;
  QMenu* menu_;
  QActionGroup* group_;
  QAction* next_;
  QAction* previous_;
  QTimer* timer_;
  uint64_t shownGeneration_ = 0;
  std::vector<InputEntry> shown_;
  std::optional<InputEntry> offered_;

  mutable std::mutex mutex_;
  InputEntry chosen_ = DefaultInput();
  std::unique_ptr<InputList> inputs_;
};
