// Records one block of 16-bit PCM from the default audio input.
#pragma once

// Whether the machine has an audio output device at all (the start-up warning).
bool AudioOutputDeviceAvailable();
