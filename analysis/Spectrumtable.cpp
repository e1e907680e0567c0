#include "Spectrumtable.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

void AppendNumber(std::string& out, double v) {
  // "%f" with a point whatever the C library's locale.
  char buffer[400];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  out.append(buffer, r.ptr);
}

std::string Reason(int error) {
  return std::strerror(error);
}

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
  if (error) *error = path + ": " + reason;
  return false;
}

// Writes all of text to fd; false with errno set.
bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t w = write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

bool WriteFileWhole(const std::string& path, const std::string& text, std::string* error) {
  if (path.empty()) return Fail(error, path, "no file name given");
  // Follow a link to the file it names, so that the link stays and its target is replaced.
  std::string target = path;
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return Fail(error, path, Reason(EISDIR));
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe: nothing to replace and no part of a file to leave behind.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail(error, path, Reason(errno));
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const bool ok = WriteAll(fd, text);
    const int writeError = errno;
    if (close(fd) != 0 && ok) return Fail(error, path, Reason(errno));
    if (!ok) return Fail(error, path, Reason(writeError));
    return true;
  }
  if (exists) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) target = resolved;
  }
  // The new file gets the old one's permissions, or those a plain create would give.
  mode_t mode = 0666;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  const size_t slash = target.find_last_of('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string temp = target.substr(0, nameAt);
  temp.append(".").append(target, nameAt).append(".XXXXXX");
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    struct stat dir {};
    if (e == ENOENT && stat(DirectoryOf(target).c_str(), &dir) != 0)
      return Fail(error, path, "the folder does not exist");
    return Fail(error, path, Reason(e));
  }
  bool ok = WriteAll(fd, text) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  int e = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return Fail(error, path, Reason(e));
  }
  return true;
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
  if (stat(path.c_str(), &st) != 0) return Fail(error, path, Reason(errno));
  if (S_ISDIR(st.st_mode)) return Fail(error, path, Reason(EISDIR));
  if (!S_ISREG(st.st_mode)) return Fail(error, path, "not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, path, Reason(errno));
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return Fail(error, path, "cannot be read");
  std::string reason;
  if (!ParseSpectrumTable(all.str(), table, &reason)) return Fail(error, path, reason);
  return true;
}
