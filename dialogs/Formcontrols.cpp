#include "Formcontrols.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top, bool bold) {
  auto* label = new QLabel(text, parent);
  if (bold) {
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
  }
  label->move(left, top);
  label->adjustSize();
  // A caption announces its text; labels that show values are named for their role instead.
  label->setAccessibleName(text);
  return label;
}

QLabel* MakeReadout(const QString& role, const QString& text, QWidget* parent, const QRect& place) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return Place(label, place.x(), place.y(), place.width(), place.height(), role);
}

QComboBox* MakeList(const QString& role, const QStringList& items, QWidget* parent,
                    const QRect& place) {
  auto* list = new QComboBox(parent);
  list->addItems(items);
  list->setGeometry(place);
  list->setAccessibleName(role);
  return list;
}

QLineEdit* MakeEdit(const QString& role, QWidget* parent, int left, int top) {
  auto* edit = new QLineEdit(parent);
  edit->setGeometry(left, top, 57, 21);
  edit->setAccessibleName(role);
  return edit;
}

QPushButton* MakeButton(const QString& caption, QWidget* parent, const QRect& place) {
  auto* button = new QPushButton(caption, parent);
  button->setGeometry(place);
  button->setAccessibleName(caption);
  button->setAutoDefault(false);
  return button;
}

void UseFormFont(QWidget* window) {
  QFont font = QApplication::font();
  font.setPixelSize(11);
  window->setFont(font);
}

namespace {

// The application's style, except that drop-down lists drop as list views.
class TListPopupStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_ComboBox_Popup) return 0;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

void SetVisibleItems(QComboBox* list, int rows) {
  auto* style = new TListPopupStyle;
  style->setParent(list);
  list->setStyle(style);
  list->setMaxVisibleItems(rows);
}
