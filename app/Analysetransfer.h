// tonvista-analyse --transfer and --delay: a stereo file as measurement and reference, through
// the transfer-function and delay-finder maths the window uses.
#pragma once

// True when the arguments ask for --transfer or --delay (before any "--").
bool WantsTransferMode(int argc, char** argv);
// Parses the arguments of those modes, runs them and returns the exit status.
int RunTransferMode(int argc, char** argv);
// Their part of --help.
extern const char* const kTransferHelp;
