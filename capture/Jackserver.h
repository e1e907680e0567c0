// ALSA PCMs of the JACK plugin's type record only while a JACK server runs; without one every
// attempt makes libjack print its errors on stderr. Asked here without a word on stderr.
#pragma once

#include <string>

// Whether the ALSA PCM `name` is of type "jack" in the current configuration.
bool IsJackPcm(const std::string& name);

// Whether a JACK server is there: its socket for the server named by JACK_DEFAULT_SERVER
// ("default"), or, where PipeWire runs, a client of its JACK library opening without error.
bool JackServerRunning();

// Silences libjack in this process (where it is installed), before anything in it is called.
void QuietJackMessages();

// The mark of a JACK PCM in the input list while no server runs.
inline constexpr const char* kJackNoServer = "JACK: no server";
