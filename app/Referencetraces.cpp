#include "Referencetraces.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"

TReferenceTraces* ReferenceTraces = nullptr;

std::function<QString(QWidget*, bool)> TReferenceTraces::FileDialog = [](QWidget* parent,
                                                                         bool save) {
  const QString filter = QStringLiteral("Tables (*.txt *.TXT);;All files (*)");
  return save ? QFileDialog::getSaveFileName(parent, QStringLiteral("Save reference"),
                                             QStringLiteral("Reference.txt"), filter)
              : QFileDialog::getOpenFileName(parent, QStringLiteral("Load reference"), QString(),
                                             filter);
};

namespace {

void Fill(TChartSeries* s, const std::vector<double>& x, const std::vector<double>& y, QRgb c) {
  s->ClearPoints();
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i)
    s->AddPoint(x[i], y[i], c);
}

std::span<const double> Span(const std::vector<double>& v) {
  return {v.data(), v.size()};
}

}  // namespace

TReferenceTraces::TReferenceTraces(TMainwindow* owner) : QObject(owner), owner_(owner) {
  ReferenceTraces = this;
  connect(owner, &TMainwindow::TracesShown, this, &TReferenceTraces::FollowTraces);
  QMenu* menu = owner->Chart1->ChartMenu();
  auto entry = [&](const char* caption, const char* shortcut, void (TReferenceTraces::*handler)()) {
    auto* action = new QAction(QString::fromLatin1(caption), this);
    action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    connect(action, &QAction::triggered, this, Guarded([this, handler] { (this->*handler)(); }));
    menu->addAction(action);
    return action;
  };
  AStore = entry("Store reference", "Ctrl+R", &TReferenceTraces::StoreClick);
  AShowDifference =
      entry("Show difference", "Ctrl+Shift+D", &TReferenceTraces::ShowDifferenceClick);
  AShowDifference->setCheckable(true);
  AClear = entry("Clear reference", "Ctrl+Shift+R", &TReferenceTraces::ClearClick);
  ALoad = entry("Load reference...", "Ctrl+L", &TReferenceTraces::LoadClick);
  ASave = entry("Save reference...", "Ctrl+Shift+L", &TReferenceTraces::SaveClick);
}

TReferenceTraces::~TReferenceTraces() {
  if (ReferenceTraces == this) ReferenceTraces = nullptr;
}

void TReferenceTraces::MakeSeries() {
  if (RefL) return;
  TChart* chart = owner_->Chart1;
  // Under the live traces, which the main window added first.
  RefL = chart->InsertSeries(0, TSeriesKind::Line, QStringLiteral("Lref"));
  RefR = chart->InsertSeries(1, TSeriesKind::Line, QStringLiteral("Rref"));
  DiffL = chart->AddSeries(TSeriesKind::Line, QStringLiteral("L-Lref"));
  DiffR = chart->AddSeries(TSeriesKind::Line, QStringLiteral("R-Rref"));
  RefL->SetSeriesColor(QColor::fromRgb(RefLColour));
  RefR->SetSeriesColor(QColor::fromRgb(RefRColour));
  DiffL->SetSeriesColor(QColor::fromRgb(DiffLColour));
  DiffR->SetSeriesColor(QColor::fromRgb(DiffRColour));
}

void TReferenceTraces::DrawReference() {
  MakeSeries();
  Fill(RefL, Left.Frequency, Left.Level, RefLColour);
  Fill(RefR, Right.Frequency, Right.Level, RefRColour);
  UpdateDifference();
}

void TReferenceTraces::UpdateDifference() {
  const bool shown = AShowDifference->isChecked() && (!Left.Empty() || !Right.Empty());
  receiving_.store(shown, std::memory_order_relaxed);
  if (!DiffL) return;
  std::vector<double> x, y;
  const struct {
    TChartSeries* live;
    const ReferenceCurve& reference;
    TChartSeries* difference;
    QRgb colour;
  } pairs[] = {{owner_->Series1, Left, DiffL, DiffLColour},
               {owner_->Series2, Right, DiffR, DiffRColour}};
  for (const auto& p : pairs) {
    x.clear();
    y.clear();
    if (shown)
      DifferenceCurve(Span(p.live->XValues()), Span(p.live->YValues()), p.reference, &x, &y);
    Fill(p.difference, x, y, p.colour);
  }
}

void TReferenceTraces::FollowTraces() {
  if (Receiving()) UpdateDifference();
}

void TReferenceTraces::StoreClick() {
  const TChartSeries* l = owner_->Series1;
  const TChartSeries* r = owner_->Series2;
  ReferenceCurve left = ReferenceFromTrace(Span(l->XValues()), Span(l->YValues()));
  if (left.Empty()) {
    ShowMessage(owner_, QStringLiteral("There is no trace to store as the reference."));
    return;
  }
  Left = std::move(left);
  Right = ReferenceFromTrace(Span(r->XValues()), Span(r->YValues()));
  DrawReference();
}

void TReferenceTraces::ClearClick() {
  Left = {};
  Right = {};
  if (RefL) DrawReference();
  receiving_.store(false, std::memory_order_relaxed);
}

void TReferenceTraces::ShowDifferenceClick() {
  if (RefL)
    UpdateDifference();
  else
    receiving_.store(false, std::memory_order_relaxed);
}

void TReferenceTraces::LoadClick() {
  const QString path = FileDialog(owner_, false);
  if (!path.isEmpty()) Load(path);
}

void TReferenceTraces::SaveClick() {
  if (Left.Empty() && Right.Empty()) {
    ShowMessage(owner_, QStringLiteral("There is no reference to save."));
    return;
  }
  QString path = FileDialog(owner_, true);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".txt");
  Save(path);
}

bool TReferenceTraces::Load(const QString& path) {
  const QString shown = QDir::toNativeSeparators(path);
  auto fail = [&](const QString& reason) {
    ShowMessage(owner_, QStringLiteral("The reference could not be loaded.\n") + reason);
    return false;
  };
  SpectrumTableData table;
  std::string error;
  // Refused at once if it is no regular file or larger than kMaxSpectrumTableBytes.
  if (!ReadSpectrumTable(QFile::encodeName(path).toStdString(), &table, &error))
    return fail(QString::fromLocal8Bit(error));
  ReferenceCurve left, right;
  if (!ReferenceFromTable(table, &left, &right, &error))
    return fail(shown + QStringLiteral(": ") + QString::fromStdString(error));
  Left = std::move(left);
  Right = std::move(right);
  DrawReference();
  return true;
}

bool TReferenceTraces::Save(const QString& path) {
  std::array<TableTrace, 4> traces{};
  traces[0] = {Span(Left.Frequency), Span(Left.Level)};
  traces[1] = {Span(Right.Frequency), Span(Right.Level)};
  std::string error;
  if (!WriteSpectrumTable(
          QFile::encodeName(path).toStdString(), traces,
          static_cast<long>(std::max(Left.Frequency.size(), Right.Frequency.size())), &error)) {
    ShowMessage(owner_, QStringLiteral("The reference could not be saved.\n") +
                            QString::fromStdString(error));
    return false;
  }
  return true;
}
