#include "Formcontrols.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
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
  return label;
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
