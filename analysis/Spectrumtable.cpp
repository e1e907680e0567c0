#include "Spectrumtable.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

void AppendNumber(std::string& out, double v) {
  // "%f" with a point whatever the C library's locale.
  char buffer[400];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  out.append(buffer, r.ptr);
}

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = path + ": " + reason;
  return false;
}

}  // namespace

std::string FormatSpectrumTable(const std::array<TableTrace, 4>& traces, long maxRows) {
  std::vector<int> included;
  for (int i = 0; i < 4; ++i)
    if (traces[i].Points() >= 2) included.push_back(i);
  std::string text;
  if (included.empty()) return text;
  text = "F-Axis[Hz]";
  for (int i : included)
    text += std::string(" , Data ") + TableTraceNames[i] + "[dB]";
  text += "\r\n";
  // Rows past the shortest trace have no data: the table stops there.
  long rows = std::max(0L, maxRows);
  for (int i : included)
    rows = std::min<long>(rows, static_cast<long>(traces[i].Points()));
  const TableTrace& first = traces[included.front()];
  text.reserve(text.size() + static_cast<size_t>(rows) * (16 + 14 * included.size()));
  for (long row = 0; row < rows; ++row) {
    AppendNumber(text, first.X[static_cast<size_t>(row)]);
    for (int i : included) {
      text += " , ";
      AppendNumber(text, traces[i].Y[static_cast<size_t>(row)]);
    }
    text += "\r\n";
  }
  return text;
}

bool WriteSpectrumTable(const std::string& path, const std::array<TableTrace, 4>& traces,
                        long maxRows, std::string* error) {
  return WriteFileWhole(path, FormatSpectrumTable(traces, maxRows), error);
}

const std::vector<double>* SpectrumTableData::Column(const std::string& name) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (Names[i] == name) return &Levels[i];
  return nullptr;
}

namespace {

// Splits a line at " , ".
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = line.find(" , ");
    out.push_back(line.substr(0, at));
    if (at == std::string_view::npos) break;
    line.remove_prefix(at + 3);
  }
  return out;
}

bool Number(std::string_view s, double* v) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v, std::chars_format::fixed);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(*v);
}

}  // namespace

bool ParseSpectrumTable(const std::string& text, SpectrumTableData* table, std::string* error) {
  *table = SpectrumTableData();
  std::string_view rest(text);
  long lineNo = 0;
  const auto fail = [&](const std::string& reason) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + reason;
    *table = SpectrumTableData();
    return false;
  };
  while (!rest.empty()) {
    ++lineNo;
    const size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) return fail("the line does not end");
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> fields = Fields(line);
    if (lineNo == 1) {
      if (fields.size() < 2 || fields[0] != "F-Axis[Hz]") return fail("not a table of traces");
      for (size_t i = 1; i < fields.size(); ++i) {
        std::string_view f = fields[i];
        if (!f.starts_with("Data ") || !f.ends_with("[dB]") || f.size() <= 9)
          return fail("column " + std::to_string(i + 1) + " is no trace");
        table->Names.emplace_back(f.substr(5, f.size() - 9));
      }
      table->Levels.resize(table->Names.size());
      continue;
    }
    if (fields.size() != table->Names.size() + 1)
      return fail("has " + std::to_string(fields.size()) + " numbers, not " +
                  std::to_string(table->Names.size() + 1));
    double v = 0.0;
    if (!Number(fields[0], &v)) return fail("the frequency is not a number");
    table->Frequency.push_back(v);
    for (size_t i = 1; i < fields.size(); ++i) {
      if (!Number(fields[i], &v))
        return fail("column " + std::to_string(i + 1) + " is not a number");
      table->Levels[i - 1].push_back(v);
    }
  }
  return true;
}

bool ReadSpectrumTable(const std::string& path, SpectrumTableData* table, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return Fail(error, path, std::strerror(EISDIR));
  std::string text;
  if (!ReadRegularFile(path, kMaxSpectrumTableBytes, "a table of a spectrum", &text, error))
    return false;
  std::string reason;
  if (!ParseSpectrumTable(text, table, &reason)) return Fail(error, path, reason);
  return true;
}
