// The text table of the traces, as "Save Chart..." writes it: a header naming the traces
// present, one row per bin with the frequency and each trace's level, numbers in "%f" with a
// point whatever the locale, " , " between them, CR LF after each line. Also its reader.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "Checkedfiles.h"

// One trace: the frequency and the level in dB of each point.
struct TableTrace {
  std::span<const double> X;
  std::span<const double> Y;
  size_t Points() const { return std::min(X.size(), Y.size()); }
};

// "L", "R", "Lmax", "Rmax": the order of the columns.
inline constexpr std::array<const char*, 4> TableTraceNames = {"L", "R", "Lmax", "Rmax"};

// The table of the traces holding at least 2 points, in the order of TableTraceNames, with
// the frequencies of the first of them; at most maxRows rows and no row past the shortest of
// them. Without any such trace the table is empty (no header either).
std::string FormatSpectrumTable(const std::array<TableTrace, 4>& traces, long maxRows);

// FormatSpectrumTable written with WriteFileWhole.
bool WriteSpectrumTable(const std::string& path, const std::array<TableTrace, 4>& traces,
                        long maxRows, std::string* error);

// A table read back: the names of its level columns as the header gives them, the frequency
// column and one level column per name.
struct SpectrumTableData {
  std::vector<std::string> Names;
  std::vector<double> Frequency;
  std::vector<std::vector<double>> Levels;
  // The column of that name, or nullptr.
  const std::vector<double>* Column(const std::string& name) const;
};

// Parses the table format (line ends CR LF or LF). An empty text gives an empty table.
// False with "line N: reason" in error for anything else.
bool ParseSpectrumTable(const std::string& text, SpectrumTableData* table, std::string* error);
// A table of 32768 bins and four traces is under 3 MB; larger files are no table of a spectrum.
inline constexpr int64_t kMaxSpectrumTableBytes = int64_t{64} << 20;
// Reads (as ReadRegularFile, at most kMaxSpectrumTableBytes) and parses a file; error says
// "path: reason".
bool ReadSpectrumTable(const std::string& path, SpectrumTableData* table, std::string* error);
