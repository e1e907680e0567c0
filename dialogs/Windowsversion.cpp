#include "Windowsversion.h"

int DetectWindowsVersion() { return 0; }
