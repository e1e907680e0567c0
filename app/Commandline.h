// What the command-line programs share: their exit statuses, the one-line refusal on standard
// error and the checked reading of option values. Qt-free, so that the options' fuzz target
// links it too.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// Writes all of text to standard output in one go, so that the lines of runs in parallel
// sharing one output do not mix within a file's block; false with errno set.
bool WriteOut(std::string_view text);

// The refusal after a failed WriteOut ("standard output: reason"); returns kBadOutput.
int StdoutFailed(const char* program);

// Each line of text after the file's name (as one line) and a tab.
std::string Prefixed(const std::string& path, std::string_view text);

// A run over one file; memory running out is that file's fault ("path: not enough memory to
// analyse it", status 3), not the program's.
int OneFile(const char* program, const std::string& path, const std::function<int()>& run);

// A mode of 'name: value' lines over one file: its lines (each ending in '\n') in `lines`, or a
// refusal printed as one line; returns its exit status (a file with a note may have both).
using FileLines = std::function<int(const std::string& path, std::string* lines)>;

// A mode of 'name: value' lines over many files: each file's lines in one write, after its
// name and a tab when `prefixed`; a file that cannot be analysed is named (by the mode) and
// skipped. Returns the worst status, or 4 at once, since nothing more could be written.
int RunEach(const char* program, const std::vector<std::string>& files, bool prefixed,
            const FileLines& mode);
