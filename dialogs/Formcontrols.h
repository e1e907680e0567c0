// Building the main window, the tool windows and the dialogs from their stored designs: each
// control goes to its stored place (logical pixels) with the name that screen readers announce.
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>
#include <Qt>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The tool windows: fixed border, system menu and minimise box only, kept on top.
inline constexpr Qt::WindowFlags kToolWindowFlags =
    Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
    Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// The stored sizes were made for an 11-pixel font: the application's family at that size.
void UseFormFont(QWidget* window);

// Any control at its stored place, announced as `role`.
template <class W>
W* Place(W* widget, int left, int top, int width, int height, const QString& role) {
  widget->setGeometry(left, top, width, height);
  widget->setAccessibleName(role);
  return widget;
}

// A caption sized to its text with its top-left corner at (left, top).
QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top, bool bold = false);
// A value shown right-aligned in a stored place that keeps its width whatever the text.
QLabel* MakeReadout(const QString& role, const QString& text, QWidget* parent, const QRect& place);
QComboBox* MakeList(const QString& role, const QStringList& items, QWidget* parent,
                    const QRect& place);
// The stored edits are all 57 x 21.
QLineEdit* MakeEdit(const QString& role, QWidget* parent, int left, int top);
// Never a default button: Enter must not press whichever button happens to come first.
QPushButton* MakeButton(const QString& caption, QWidget* parent, const QRect& place);

// A drop-down list that shows `rows` items when dropped down, in every style. Styles that
// drop a non-editable list as a menu (Fusion among them) ignore maxVisibleItems; the list
// then drops as a scrolling list view.
void SetVisibleItems(QComboBox* list, int rows);
