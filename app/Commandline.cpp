#include "Commandline.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "Checkedfiles.h"

namespace {

template <typename T>
bool ParseWhole(std::string_view s, T* v) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v);
  return r.ec == std::errc() && r.ptr == end;
}

std::string Folded(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '-' && c != '_')
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

}  // namespace

int Message(const char* program, int status, std::string_view text) {
  std::fprintf(stderr, "%s: %s\n", program, OneLine(text).c_str());
  return status;
}

bool SplitOption(std::string_view arg, std::string* name, std::string* value) {
  *name = arg;
  value->clear();
  if (const size_t eq = name->find('='); name->starts_with("--") && eq != std::string::npos) {
    *value = name->substr(eq + 1);
    name->resize(eq);
    return true;
  }
  return false;
}

bool ParseNumber(std::string_view s, double* v) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *v);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(*v);
}

bool ParseInt(std::string_view s, long* v) {
  return ParseWhole(s, v);
}

bool ParseInt(std::string_view s, long long* v) {
  return ParseWhole(s, v);
}

int WindowByName(std::string_view name) {
  int found = -1;
  for (int w = 0; w < 5; ++w)
    if (Folded(name) == Folded(kWindowNames[w])) found = w;
  return found;
}

bool WriteOut(std::string_view text) {
  std::fflush(stdout);
  while (!text.empty()) {
    const ssize_t w = write(STDOUT_FILENO, text.data(), text.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

int StdoutFailed(const char* program) {
  return Message(program, kBadOutput, std::string("standard output: ") + std::strerror(errno));
}

std::string Prefixed(const std::string& path, std::string_view text) {
  const std::string prefix = OneLine(path) + "\t";
  std::string out;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const size_t take = end == std::string_view::npos ? text.size() : end + 1;
    out += prefix;
    out.append(text.substr(0, take));
    text.remove_prefix(take);
  }
  return out;
}

int OneFile(const char* program, const std::string& path, const std::function<int()>& run) {
  try {
    return run();
  } catch (const std::bad_alloc&) {
    return Message(program, kBadInput, path + ": not enough memory to analyse it");
  }
}

int RunEach(const char* program, const std::vector<std::string>& files, bool prefixed,
            const FileLines& mode) {
  int status = kOk;
  for (const std::string& path : files) {
    std::string lines;
    const int one = OneFile(program, path, [&] { return mode(path, &lines); });
    if (one == kBadOutput) return one;
    status = std::max(status, one);
    // A file measured with a note (NaN samples, a tone below the resolution) still has lines.
    if (!lines.empty() && !WriteOut(prefixed ? Prefixed(path, lines) : lines))
      return StdoutFailed(program);
  }
  return status;
}
