// The "Options" dialog: axis limits, level correction, and deleting single traces.
#pragma once

#include <QDialog>

class TFOptions : public QDialog {
  Q_OBJECT
 public:
  explicit TFOptions(QWidget* parent = nullptr);
  ~TFOptions() override;
};

extern TFOptions* FOptions;
