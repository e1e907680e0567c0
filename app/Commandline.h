// What the command-line programs share: their exit statuses, the one-line refusal on standard
// error and the checked reading of option values. Qt-free, so that the options' fuzz target
// links it too.
#pragma once

#include <string>
#include <string_view>

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kBadOption = 2;
inline constexpr int kBadInput = 3;
inline constexpr int kBadOutput = 4;

// The names --window takes, in the order of the window numbers of Fft.h.
inline constexpr const char* kWindowNames[] = {"Hanning", "Hamming", "Blackman", "Blackman Harris",
                                               "Rectangular"};

// Prints "program: text" as one line on standard error, whatever the names in text hold;
// returns status.
int Message(const char* program, int status, std::string_view text);

// An option as its name and, for "--name=value", the value after the '='; true if one was
// given so.
bool SplitOption(std::string_view arg, std::string* name, std::string* value);

// The whole of s as a finite number / a whole number; false for anything else.
bool ParseNumber(std::string_view s, double* v);
bool ParseInt(std::string_view s, long* v);
bool ParseInt(std::string_view s, long long* v);

// The window number that --window's value names (case, spaces, '-' and '_' aside), or -1.
int WindowByName(std::string_view name);
