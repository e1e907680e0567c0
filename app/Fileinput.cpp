#include "Fileinput.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>

#include "Application.h"
#include "Chart.h"
#include "Filecapture.h"
#include "Inputmenu.h"
#include "Mainwindowtonvista.h"

TFileInput* FileInput = nullptr;

TFileInput::TFileInput(TMainwindow* window) : QObject(window), window_(window) {
  FileInput = this;
  QMenu* menu = window_->Chart1->ChartMenu();
  OpenAction = menu->addAction(QStringLiteral("Open audio file..."), this,
                               Guarded([this] { OpenWithDialog(); }));
  OpenAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  FastAction = menu->addAction(QStringLiteral("As fast as shown"));
  FastAction->setCheckable(true);
  FastAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
  connect(FastAction, &QAction::toggled, this, [this](bool fast) {
    if (opened_) opened_->SetRealTime(!fast);
  });
  window_->Chart1->installEventFilter(this);
}

TFileInput::~TFileInput() {
  if (FileInput == this) FileInput = nullptr;
}

std::shared_ptr<FileCursor> TFileInput::Cursor() const {
  return window_->InputMenu ? window_->InputMenu->Chosen().file : nullptr;
}

void TFileInput::OpenWithDialog() {
  const QString path =
      DialogRunner ? DialogRunner()
                   : QFileDialog::getOpenFileName(
                         window_, QStringLiteral("Open audio file"), QString(),
                         QStringLiteral("Audio files (*.wav *.WAV *.flac *.FLAC *.ogg *.OGG *.aif "
                                        "*.aiff *.au *.caf *.w64 *.rf64);;All files (*)"));
  if (!path.isEmpty()) OpenFile(path);
}

bool TFileInput::OpenFile(const QString& path) {
  std::string error;
  const auto cursor = FileCursor::Open(QFile::encodeName(path).toStdString(), &error);
  if (!cursor) {
    ShowMessage(window_, QStringLiteral("The audio file cannot be read.\n") +
                             QString::fromLocal8Bit(error.c_str()));
    return false;
  }
  cursor->SetRealTime(!FastAction->isChecked());
  InputEntry input;
  input.kind = InputKind::File;
  input.name = cursor->Path();
  input.description = "File: " + QFileInfo(path).fileName().toStdString();
  input.file = cursor;
  opened_ = cursor;
  window_->InputMenu->Offer(input);
  window_->InputMenu->Choose(input);
  return true;
}

bool TFileInput::eventFilter(QObject* watched, QEvent* event) {
  // Only while stopped: a running file moves on by itself. Other keys, and these keys with
  // a live input, go on to the chart.
  if (watched == window_->Chart1 && event->type() == QEvent::KeyPress && !window_->CalcThread) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto cursor = Cursor();
    const auto mods = key->modifiers() & ~Qt::KeypadModifier;
    if (cursor && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) {
      const double step = mods == Qt::ShiftModifier ? 10 * kStepSeconds : kStepSeconds;
      bool used = true;
      switch (key->key()) {
        case Qt::Key_Left:
          cursor->Step(-step);
          break;
        case Qt::Key_Right:
          cursor->Step(step);
          break;
        case Qt::Key_Home:
          cursor->SetPosition(0);
          break;
        default:
          used = false;
      }
      if (used) {
        window_->InputMenu->RefreshStateLine();
        return true;
      }
    }
  }
  return QObject::eventFilter(watched, event);
}
