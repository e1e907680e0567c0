// Classifies the running Windows release into a version class (0 when unknown).
#pragma once

#include <functional>
#include <string>

// The rule table: 0 query failed or release unknown, 1 Win32s, 2 95, 3 98, 4 ME,
// 5 NT 3.51/4.0, 6 2000, 7 XP, 8 Server 2003. platform: 0 Win32s, 1 Windows, 2 NT.
int ClassifyWindowsVersion(bool querySucceeded, int platform, int major, int minor, int build);

// The class of the running system; where there is no Windows version query it counts as
// failed, which gives 0.
int DetectWindowsVersion();

// A directory query of the system in the manner of GetWindowsDirectoryA: query(buffer, size)
// writes the path and returns its length, 0 on failure, or the size it needs when the buffer
// is too small. The path as returned (at most 260 characters), or empty on failure.
std::string DirectoryFromQuery(const std::function<unsigned(char* buffer, unsigned size)>& query);

// The Windows and the system directory; empty where the system has none (not Windows).
std::string WindowsDirectoryOfSystem();
std::string SystemDirectoryOfSystem();
