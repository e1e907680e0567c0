#include "Audiodataacquisition.h"

bool AudioOutputDeviceAvailable() { return true; }
