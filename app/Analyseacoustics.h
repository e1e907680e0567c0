// tonvista-analyse --acoustics: the room-acoustic parameters of an impulse response, or of the
// response deconvolved from the recording of a sweep; and --make-sweep, the synchronised log
// sweep to play for it.
#pragma once

// True when the command line asks for --acoustics or --make-sweep (before any "--").
bool WantsAcoustics(int argc, char** argv);
// Parses and runs; returns the exit status (0 done, 2 bad option, 3 unreadable input, 4
// output not written).
int RunAcoustics(int argc, char** argv);
