// Numbers between the user and the program: what an edit accepts, the two conversion
// messages, where they are shown, and how read-outs print a value.
#pragma once

#include <QLocale>
#include <QString>
#include <functional>
#include <optional>

class QWidget;

// Numbers as the user types them, in the user's locale (QLocale()): the locale's decimal
// separator, surrounding blanks allowed. A group separator is refused in every locale:
// "1.000" under a German locale may have been meant as 1.0, and a guess would store a value
// a thousand times off. Integers must fit 32 bits; floating-point values must be finite
// (nan, inf and overflow are refused).
std::optional<int> ReadInteger(const QString& text, const QLocale& locale = QLocale());
std::optional<double> ReadFloat(const QString& text, const QLocale& locale = QLocale());
QString NotAnIntegerMessage(const QString& text);
QString NotAFloatMessage(const QString& text);

// Where the windows report a bad entry. Tests replace it so that no modal box blocks them;
// the default is a warning message box over parent.
using TErrorSink = std::function<void(QWidget* parent, const QString& message)>;
void SetErrorSink(TErrorSink sink);  // empty: back to the message box
void ShowInputError(QWidget* parent, const QString& message);

// Read-outs: fixed notation with one decimal and the user's decimal separator, never grouped.
QString FormatReadout(double value);
// General notation with up to 15 significant digits, the user's decimal separator, never
// grouped (the options dialog's correction, the scope factor).
QString FormatGeneral(double value);
