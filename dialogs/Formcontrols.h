// Building the tool windows and dialogs from their stored designs: each control goes to its
// stored place (logical pixels) with the name that screen readers announce.
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// A caption sized to its text with its top-left corner at (left, top).
QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top, bool bold = false);
QComboBox* MakeList(const QString& role, const QStringList& items, QWidget* parent,
                    const QRect& place);
// The stored edits are all 57 x 21.
QLineEdit* MakeEdit(const QString& role, QWidget* parent, int left, int top);
// Never a default button: Enter must not press whichever button happens to come first.
QPushButton* MakeButton(const QString& caption, QWidget* parent, const QRect& place);
