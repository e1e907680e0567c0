#include "Calibrationfile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "Checkedfiles.h"

namespace {

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
    s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
    s.remove_suffix(1);
  return s;
}

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == ';';
}

// The fields of a data line.
std::vector<std::string_view> Fields(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSeparator(s[i]))
      ++i;
    size_t j = i;
    while (j < s.size() && !IsSeparator(s[j]))
      ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

bool Number(std::string_view s, double* v) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(*v);
}

// "Sens Factor =-1.23dB, SERNO: 7000000" (a leading quote or star already gone): the
// number, if the line is such a header.
bool Sensitivity(std::string_view line, double* db) {
  std::string lower(line);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("sens factor");
  if (at == std::string::npos) return false;
  size_t i = lower.find('=', at);
  if (i == std::string::npos) return false;
  ++i;
  while (i < lower.size() && std::isspace(static_cast<unsigned char>(lower[i])))
    ++i;
  size_t j = i;
  while (j < lower.size() &&
         (std::isdigit(static_cast<unsigned char>(lower[j])) || lower[j] == '-' ||
          lower[j] == '+' || lower[j] == '.' || lower[j] == 'e'))
    ++j;
  // "-1.23dB": the 'e' scan must not eat into "db"; it cannot, 'd' stops it.
  return Number(std::string_view(lower).substr(i, j - i), db);
}

std::string Shown(std::string_view s) {
  std::string out = OneLine(s.substr(0, 40));
  if (s.size() > 40) out += "...";
  return out;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A comma between digits on a line whose fields are parted by blanks, tabs or semicolons is a
// decimal comma ("1000 1,5" meant 1.5 dB), not a further field: read as such it would give
// 1 dB and a phase of 5. Lines parted by commas alone ("1000,1.5") are plain CSV.
std::string_view DecimalComma(std::string_view line) {
  if (line.find_first_of(" \t;") == std::string_view::npos) return {};
  for (size_t i = 1; i + 1 < line.size(); ++i)
    if (line[i] == ',' && IsDigit(line[i - 1]) && IsDigit(line[i + 1])) {
      size_t a = i, b = i + 1;
      while (a > 0 && !IsSeparator(line[a - 1]))
        --a;
      while (b < line.size() && (!IsSeparator(line[b]) || line[b] == ','))
        ++b;
      return line.substr(a, b - a);
    }
  return {};
}

}  // namespace

std::optional<CalibrationFile> CalibrationFile::Parse(std::string_view text, std::string* error) {
  CalibrationFile file;
  int number = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trimmed(line);
    if (number == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line = Trimmed(line.substr(3));
    if (line.empty()) continue;
    if (line.front() == '*' || line.front() == '"') {
      double db = 0.0;
      if (Sensitivity(line.substr(1), &db)) {
        file.hasSensitivity_ = true;
        file.sensitivity_ = db;
      }
      continue;
    }
    double db = 0.0;
    if (Sensitivity(line, &db)) {  // the header without quotes
      file.hasSensitivity_ = true;
      file.sensitivity_ = db;
      continue;
    }
    const auto at = [&] { return "line " + std::to_string(number) + ": "; };
    if (const std::string_view comma = DecimalComma(line); !comma.empty()) {
      if (error)
        *error =
            at() + "'" + Shown(comma) + "' has a decimal comma; write numbers with a point (1.5)";
      return std::nullopt;
    }
    const std::vector<std::string_view> fields = Fields(line);
    CalibrationPoint p{};
    if (fields.size() < 2 || fields.size() > 3 || !Number(fields[0], &p.frequency) ||
        !Number(fields[1], &p.db) || (fields.size() == 3 && !Number(fields[2], &db))) {
      if (error)
        *error = "line " + std::to_string(number) + ": expected 'frequency dB [phase]', found '" +
                 Shown(line) + "'";
      return std::nullopt;
    }
    if (!(p.frequency > 0.0)) {
      if (error) *error = at() + "frequency not above 0 Hz";
      return std::nullopt;
    }
    if (p.frequency > kMaxFrequency) {
      if (error) *error = at() + "frequency above " + std::to_string(int(kMaxFrequency)) + " Hz";
      return std::nullopt;
    }
    if (std::fabs(p.db) > kMaxDb) {
      if (error)
        *error = at() + "response " + Shown(fields[1]) + " dB outside -" +
                 std::to_string(int(kMaxDb)) + " to " + std::to_string(int(kMaxDb)) + " dB";
      return std::nullopt;
    }
    if (!file.points_.empty() && p.frequency <= file.points_.back().frequency) {
      if (error)
        *error = "line " + std::to_string(number) +
                 ": frequency not above the previous line's (the file must ascend)";
      return std::nullopt;
    }
    file.points_.push_back(p);
  }
  if (file.points_.empty()) {
    if (error) *error = "no 'frequency dB' lines";
    return std::nullopt;
  }
  return file;
}

std::optional<CalibrationFile> CalibrationFile::Load(const std::string& path, std::string* error) {
  std::string text;
  if (!ReadRegularFile(path, kMaxFileBytes, "a calibration file", &text, error))
    return std::nullopt;
  std::string why;
  auto file = Parse(text, &why);
  if (!file && error) *error = path + ": " + why;
  return file;
}

double CalibrationFile::ResponseDb(double frequency) const {
  if (points_.empty()) return 0.0;
  if (!(frequency > points_.front().frequency)) return points_.front().db;
  if (frequency >= points_.back().frequency) return points_.back().db;
  const auto hi =
      std::upper_bound(points_.begin(), points_.end(), frequency,
                       [](double f, const CalibrationPoint& p) { return f < p.frequency; });
  const auto lo = hi - 1;
  const double t = std::log(frequency / lo->frequency) / std::log(hi->frequency / lo->frequency);
  return lo->db + t * (hi->db - lo->db);
}
