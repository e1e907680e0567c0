// One table of texts a user may type into a numeric edit, shared by every edit's tests.
// Per entry: whether the text is refused by an integer field and by a floating-point field,
// in the C locale (decimal point, ',' groups digits) and in de_DE (decimal comma, '.' groups
// digits). A group separator is refused in every locale: "1.000" under de_DE may have been
// meant as 1.0. Where a text is accepted it reads as valueC or valueDe.
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
  double valueC;   // what an accepting field reads in C
  double valueDe;  // ... and in de_DE
};

inline const std::vector<BadInput>& BadInputs() {
  const bool X = true, o = false;
  // clang-format off
  static const std::vector<BadInput> table = {
      // what                     text                            intC intDe fltC fltDe valueC valueDe
      {"empty",                   "",                                X, X, X, X, 0, 0},
      {"blanks",                  "   ",                             X, X, X, X, 0, 0},
      {"tab and newline",         "\t\n",                            X, X, X, X, 0, 0},
      {"letters",                 "abc",                             X, X, X, X, 0, 0},
      {"letters in blanks",       " abc ",                           X, X, X, X, 0, 0},
      {"digits then letters",     "12abc",                           X, X, X, X, 0, 0},
      {"unit typed along",        "5 dB",                            X, X, X, X, 0, 0},
      {"double minus",            "--1",                             X, X, X, X, 0, 0},
      {"plus minus",              "+-1",                             X, X, X, X, 0, 0},
      {"trailing minus",          "1-",                              X, X, X, X, 0, 0},
      {"sign alone",              "-",                               X, X, X, X, 0, 0},
      {"hex",                     "0x10",                            X, X, X, X, 0, 0},
      {"upper-case hex",          "0X1F",                            X, X, X, X, 0, 0},
      {"fraction",                "1/2",                             X, X, X, X, 0, 0},
      {"blank inside",            "12 345",                          X, X, X, X, 0, 0},
      {"underscore",              "1_000",                           X, X, X, X, 0, 0},
      {"nan",                     "nan",                             X, X, X, X, 0, 0},
      {"NaN",                     "NaN",                             X, X, X, X, 0, 0},
      {"inf",                     "inf",                             X, X, X, X, 0, 0},
      {"-inf",                    "-inf",                            X, X, X, X, 0, 0},
      {"infinity",                "infinity",                        X, X, X, X, 0, 0},
      {"overflowing double",      "1e400",                           X, X, X, X, 0, 0},
      {"underflowing double",     "1e-400",                          X, X, X, X, 0, 0},
      {"exponent without digits", "1e",                              X, X, X, X, 0, 0},
      {"exponent alone",          "e5",                              X, X, X, X, 0, 0},
      {"two decimal points",      "1..5",                            X, X, X, X, 0, 0},
      {"trailing separator pair", "1.5.",                            X, X, X, X, 0, 0},
      {"int max + 1",             "2147483648",                      X, X, o, o, 2147483648.0, 2147483648.0},
      {"int min - 1",             "-2147483649",                     X, X, o, o, -2147483649.0, -2147483649.0},
      {"twenty digits",           "99999999999999999999",            X, X, o, o, 1e20, 1e20},
      {"int max",                 "2147483647",                      o, o, o, o, 2147483647.0, 2147483647.0},
      {"int min",                 "-2147483648",                     o, o, o, o, -2147483648.0, -2147483648.0},
      {"point decimal",           "1.5",                             X, X, o, X, 1.5, 0},
      {"comma decimal",           "1,5",                             X, X, X, o, 0, 1.5},
      {"point decimal, 2 places", "12.34",                           X, X, o, X, 12.34, 0},
      {"point thousands",         "1.000",                           X, X, o, X, 1.0, 0},
      {"comma thousands",         "1,000",                           X, X, X, o, 0, 1.0},
      {"point millions",          "1.000.000",                       X, X, X, X, 0, 0},
      {"comma millions",          "1,000,000",                       X, X, X, X, 0, 0},
      {"grouped with decimals",   "1.000,5",                         X, X, X, X, 0, 0},
      {"point grouped decimals",  "1,000.5",                         X, X, X, X, 0, 0},
      {"negative grouped",        "-1.000",                          X, X, o, X, -1.0, 0},
      {"blank before group",      "1 .000",                          X, X, X, X, 0, 0},
      {"blank after group",       "1. 000",                          X, X, X, X, 0, 0},
      {"blanks around group",     "1 , 000",                         X, X, X, X, 0, 0},
      {"misplaced group",         "1.0000",                          X, X, o, X, 1.0, 0},
      {"leading point",           ".5",                              X, X, o, X, 0.5, 0},
      {"exponent",                "1e3",                             X, X, o, o, 1000.0, 1000.0},
      {"arabic-indic digits",     QString::fromUtf8("\u0661\u0662"), X, X, X, X, 0, 0},
      {"persian digits",          QString::fromUtf8("\u06F1\u06F2"), X, X, X, X, 0, 0},
      {"devanagari digits",       QString::fromUtf8("\u0967\u0968"), X, X, X, X, 0, 0},
      {"fullwidth digits",        QString::fromUtf8("\uFF11\uFF12"), X, X, X, X, 0, 0},
      {"arabic decimal sign",     QString::fromUtf8("1\u066B5"),     X, X, X, X, 0, 0},
      {"superscript two",         QString::fromUtf8("\u00B2"),       X, X, X, X, 0, 0},
      {"vulgar half",             QString::fromUtf8("\u00BD"),       X, X, X, X, 0, 0},
      {"embedded NUL",            QString("1") + QChar(0) + QString("2"), X, X, X, X, 0, 0},
      {"10000 ones",              QString(10000, '1'),               X, X, X, X, 0, 0},
      {"10000 letters",           QString(10000, 'x'),               X, X, X, X, 0, 0},
      {"blanks around",           " 12 ",                            o, o, o, o, 12.0, 12.0},
  };
  // clang-format on
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
inline double Value(const BadInput& in, TestLocale l) {
  return l == TestLocale::C ? in.valueC : in.valueDe;
}
inline const char* LocaleName(TestLocale l) {
  return l == TestLocale::C ? "C" : "de_DE";
}
