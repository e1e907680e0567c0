#include "Windowsversion.h"

#ifdef _WIN32
#include <windows.h>
#endif

int ClassifyWindowsVersion(bool querySucceeded, int platform, int major, int minor, int build) {
  if (!querySucceeded) return 0;
  if (platform == 0) return 1;
  if (platform == 1 && major == 4) {
    if (minor == 0 || minor == 3) return 2;
    if (minor == 10) return 3;
    if (minor == 90) return 4;
  }
  if (platform != 1 && platform != 2) return 0;
  if (major == 3 || major == 4) return 5;
  if (major != 5) return 0;
  if (minor == 0) return build == 2195 ? 6 : 7;
  if (minor == 1) return 7;
  if (minor == 2) return 8;
  return 0;
}

int DetectWindowsVersion() {
#ifdef _WIN32
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  const bool ok = GetVersionExA(&info) != 0;
  return ClassifyWindowsVersion(
      ok, static_cast<int>(info.dwPlatformId), static_cast<int>(info.dwMajorVersion),
      static_cast<int>(info.dwMinorVersion), static_cast<int>(info.dwBuildNumber & 0xFFFF));
#else
  return ClassifyWindowsVersion(false, 0, 0, 0, 0);
#endif
}

std::string DirectoryFromQuery(const std::function<unsigned(char* buffer, unsigned size)>& query) {
  constexpr unsigned kSize = 260;
  char buffer[kSize + 1] = {};
  const unsigned n = query(buffer, kSize);
  if (n == 0 || n >= kSize) return {};
  return std::string(buffer, n);
}

std::string WindowsDirectoryOfSystem() {
#ifdef _WIN32
  return DirectoryFromQuery([](char* b, unsigned size) { return GetWindowsDirectoryA(b, size); });
#else
  return {};
#endif
}

std::string SystemDirectoryOfSystem() {
#ifdef _WIN32
  return DirectoryFromQuery([](char* b, unsigned size) { return GetSystemDirectoryA(b, size); });
#else
  return {};
#endif
}
