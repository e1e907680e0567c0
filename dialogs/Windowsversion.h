// Classifies the running Windows release into a version class (0 when unknown).
#pragma once

// The rule table: 0 query failed or release unknown, 1 Win32s, 2 95, 3 98, 4 ME,
// 5 NT 3.51/4.0, 6 2000, 7 XP, 8 Server 2003. platform: 0 Win32s, 1 Windows, 2 NT.
int ClassifyWindowsVersion(bool querySucceeded, int platform, int major, int minor, int build);

// The class of the running system; where there is no Windows version query it counts as
// failed, which gives 0.
int DetectWindowsVersion();
