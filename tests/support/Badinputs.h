// One table of texts a user may type into a numeric edit, shared by every edit's tests.
// Per entry: whether the text is refused by an integer field and by a floating-point field,
// in the C locale (decimal point) and in de_DE (decimal comma, '.' groups digits). Group
// separators are refused everywhere; where a text is accepted it reads as `value`.
#pragma once

#include <QString>
#include <vector>

struct BadInput {
  const char* what;  // readable name for failure messages
  QString text;
  bool intBadC;
  bool intBadDe;
  bool floatBadC;
  bool floatBadDe;
  double value;  // what an accepting field reads
};

inline const std::vector<BadInput>& BadInputs() {
  static const std::vector<BadInput> table = {
      // what                    text                          intC   intDe  fltC   fltDe  value
      {"empty", "", true, true, true, true, 0},
      {"blanks", "   ", true, true, true, true, 0},
      {"tab and newline", "\t\n", true, true, true, true, 0},
      {"letters", "abc", true, true, true, true, 0},
      {"letters in blanks", " abc ", true, true, true, true, 0},
      {"digits then letters", "12abc", true, true, true, true, 0},
      {"unit typed along", "5 dB", true, true, true, true, 0},
      {"double minus", "--1", true, true, true, true, 0},
      {"plus minus", "+-1", true, true, true, true, 0},
      {"trailing minus", "1-", true, true, true, true, 0},
      {"sign alone", "-", true, true, true, true, 0},
      {"hex", "0x10", true, true, true, true, 0},
      {"upper-case hex", "0X1F", true, true, true, true, 0},
      {"fraction", "1/2", true, true, true, true, 0},
      {"blank inside", "12 345", true, true, true, true, 0},
      {"underscore", "1_000", true, true, true, true, 0},
      {"nan", "nan", true, true, true, true, 0},
      {"NaN", "NaN", true, true, true, true, 0},
      {"inf", "inf", true, true, true, true, 0},
      {"-inf", "-inf", true, true, true, true, 0},
      {"infinity", "infinity", true, true, true, true, 0},
      {"overflowing double", "1e400", true, true, true, true, 0},
      {"underflowing double", "1e-400", true, true, true, true, 0},
      {"exponent without digits", "1e", true, true, true, true, 0},
      {"exponent alone", "e5", true, true, true, true, 0},
      {"two decimal points", "1..5", true, true, true, true, 0},
      {"two separators", "1.5.", true, true, true, true, 0},
      {"int max + 1", "2147483648", true, true, false, false, 2147483648.0},
      {"int min - 1", "-2147483649", true, true, false, false, -2147483649.0},
      {"twenty digits", "99999999999999999999", true, true, false, false, 1e20},
      {"int max", "2147483647", false, false, false, false, 2147483647.0},
      {"int min", "-2147483648", false, false, false, false, -2147483648.0},
      {"point decimal", "1.5", true, true, false, true, 1.5},
      {"comma decimal", "1,5", true, true, true, false, 1.5},
      {"point group", "1.000", true, true, false, true, 1.0},
      {"comma group", "1,000", true, true, true, false, 1.0},
      {"leading point", ".5", true, true, false, true, 0.5},
      {"exponent", "1e3", true, true, false, false, 1000.0},
      {"arabic-indic digits", QString::fromUtf8("\u0661\u0662"), true, true, true, true, 0},
      {"persian digits", QString::fromUtf8("\u06F1\u06F2"), true, true, true, true, 0},
      {"devanagari digits", QString::fromUtf8("\u0967\u0968"), true, true, true, true, 0},
      {"fullwidth digits", QString::fromUtf8("\uFF11\uFF12"), true, true, true, true, 0},
      {"arabic decimal sign", QString::fromUtf8("1\u066B5"), true, true, true, true, 0},
      {"superscript two", QString::fromUtf8("\u00B2"), true, true, true, true, 0},
      {"vulgar half", QString::fromUtf8("\u00BD"), true, true, true, true, 0},
      {"embedded NUL", QString("1") + QChar(0) + QString("2"), true, true, true, true, 0},
      {"10000 ones", QString(10000, '1'), true, true, true, true, 0},
      {"10000 letters", QString(10000, 'x'), true, true, true, true, 0},
      {"blanks around", " 12 ", false, false, false, false, 12.0},
  };
  return table;
}

#include <QLocale>

// The two locales the table is written for, set as the application default for one scope.
enum class TestLocale { C, German };

struct ScopedLocale {
  explicit ScopedLocale(TestLocale which) {
    QLocale::setDefault(which == TestLocale::C ? QLocale::c()
                                               : QLocale(QLocale::German, QLocale::Germany));
  }
  ~ScopedLocale() { QLocale::setDefault(QLocale::c()); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;
};

inline bool IntBad(const BadInput& in, TestLocale l) {
  return l == TestLocale::C ? in.intBadC : in.intBadDe;
}
inline bool FloatBad(const BadInput& in, TestLocale l) {
  return l == TestLocale::C ? in.floatBadC : in.floatBadDe;
}
inline const char* LocaleName(TestLocale l) {
  return l == TestLocale::C ? "C" : "de_DE";
}
