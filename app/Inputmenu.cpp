#include "Inputmenu.h"

#include <QAction>
#include <QActionGroup>
#include <QKeySequence>
#include <QMenu>
#include <QTimer>
#include <algorithm>

#include "Chart.h"
#include "Filecapture.h"

namespace {

// Often enough that a vanished input shows at once, rare enough to cost nothing.
constexpr int kStatePollMs = 100;

}  // namespace

TInputMenu::TInputMenu(TChart* chart, std::function<std::optional<CaptureState>()> state,
                       QObject* parent)
    : QObject(parent), chart_(chart), state_(std::move(state)) {
  menu_ = chart_->ChartMenu()->addMenu(QStringLiteral("Input"));
  group_ = new QActionGroup(this);
  group_->setExclusive(true);
  next_ = new QAction(QStringLiteral("Next input"), this);
  next_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
  connect(next_, &QAction::triggered, this, [this] { Step(1); });
  previous_ = new QAction(QStringLiteral("Previous input"), this);
  previous_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_I));
  connect(previous_, &QAction::triggered, this, [this] { Step(-1); });
  // The list's thread only posts: the menu is rebuilt on this thread.
  inputs_ = std::make_unique<InputList>();
  inputs_->SetOnChange([this] { QMetaObject::invokeMethod(this, [this] { Rebuild(); }); });
  connect(menu_, &QMenu::aboutToShow, this, [this] { inputs_->Refresh(); });
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { UpdateStateLine(); });
  Rebuild();
}

TInputMenu::~TInputMenu() {
  // No change may be posted once this object is going.
  inputs_.reset();
}

InputEntry TInputMenu::Chosen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chosen_;
}

std::shared_ptr<FileCursor> TInputMenu::ChosenFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chosen_.file;
}

void TInputMenu::Choose(const InputEntry& input) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chosen_ = input;
  }
  Rebuild();
  if (OnChosen) OnChosen();
}

void TInputMenu::Offer(const InputEntry& input) {
  offered_ = input;
  Rebuild();
}

void TInputMenu::Update() {
  shownGeneration_ = 0;
  Rebuild();
}

void TInputMenu::Rebuild() {
  const uint64_t generation = inputs_->Generation();
  std::vector<InputEntry> entries = inputs_->Entries();
  if (entries.empty()) entries.push_back(DefaultInput());
  if (offered_) entries.push_back(*offered_);
  const InputEntry chosen = Chosen();
  // An input that went away stays listed while it is the one picked: the user sees what the
  // analyser waits for.
  if (std::find(entries.begin(), entries.end(), chosen) == entries.end()) entries.push_back(chosen);
  if (!SameMarks(entries, shown_) || generation != shownGeneration_) {
    shown_ = entries;
    shownGeneration_ = generation;
    // Later: the action that triggered this may still be delivering its signal.
    for (QAction* a : group_->actions()) {
      group_->removeAction(a);
      a->deleteLater();
    }
    menu_->removeAction(next_);
    menu_->removeAction(previous_);
    menu_->clear();
    for (size_t i = 0; i < entries.size(); ++i) {
      std::string caption = entries[i].description;
      if (!entries[i].unavailable.empty()) caption += " (" + entries[i].unavailable + ")";
      auto* a = new QAction(QString::fromStdString(caption), group_);
      a->setCheckable(true);
      if (i < 10) a->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + i)));
      const InputEntry entry = entries[i];
      connect(a, &QAction::triggered, this, [this, entry] { Choose(entry); });
      menu_->addAction(a);
    }
    menu_->addSeparator();
    menu_->addAction(next_);
    menu_->addAction(previous_);
  }
  const auto actions = group_->actions();
  for (qsizetype i = 0; i < actions.size(); ++i)
    actions[i]->setChecked(shown_[static_cast<size_t>(i)] == chosen);
  UpdateStateLine();
}

void TInputMenu::Step(int by) {
  if (shown_.empty()) return;
  const auto at = std::find(shown_.begin(), shown_.end(), Chosen());
  const auto n = static_cast<long>(shown_.size());
  const long i = at == shown_.end() ? 0 : at - shown_.begin();
  Choose(shown_[static_cast<size_t>(((i + by) % n + n) % n)]);
}

QString TInputMenu::StateLineText(const InputEntry& input, std::optional<CaptureState> state) {
  // The default input keeps the chart as it always looked.
  if (input.kind == InputKind::Default) return {};
  if (input.kind == InputKind::File && input.file)
    return QString::fromStdString(input.file->StateText());
  const std::string name = input.description.empty() ? input.name : input.description;
  if (!state || *state == CaptureState::Idle) return QString::fromStdString(name);
  if (*state == CaptureState::InputGone)
    return QString::fromStdString(CaptureStateText(*state, name));
  return QString::fromStdString(name + ": " + CaptureStateText(*state, name));
}

void TInputMenu::UpdateStateLine() {
  const InputEntry chosen = Chosen();
  // The default input shows no state, so there is nothing to look for: the poll would only
  // wake the user-interface thread.
  if (chosen.kind == InputKind::Default)
    timer_->stop();
  else if (!timer_->isActive())
    timer_->start(kStatePollMs);
  const QString text = StateLineText(chosen, state_ ? state_() : std::nullopt);
  if (chart_->StateLine() != text) chart_->SetStateLine(text);
}
