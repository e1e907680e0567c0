#include "Commandline.h"

#include <charconv>
#include <cmath>
#include <cstdio>

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
