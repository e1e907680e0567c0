// The command line of tonvista-analyse: its options, checked, and its exit statuses. No
// output of its own: the help text and the one-line refusal are handed back, so that the
// program prints them and the fuzz target of the options reads them.
#pragma once

#include <string>
#include <vector>

#include "Commandline.h"
#include "Fft.h"
#include "Frequencyweighting.h"

inline constexpr const char* kProgram = "tonvista-analyse";

// What the command line asks for.
struct Options {
  int fft = 2048;
  int window = WindowBlackmanHarris;
  double correction = 0.0;
  int averages = 0;  // 0: every block
  bool maxHold = false;
  bool measure = false;
  double start = 0.0;
  double length = -1.0;  // to the end
  std::string table;
  std::string spectrogram;
  bool logAxis = true;
  bool quiet = false;
  bool names = false;
  std::vector<std::string> files;
  int octave = 0;  // bands per octave; 0: the spectrum
  FrequencyWeighting weighting = FrequencyWeighting::Z;
  bool weightingGiven = false;
  std::string calibration;
  double splOffset = 0.0;
  bool splOffsetGiven = false;
};

// A mode of the analyser that prints 'name: value' lines, over one file: its lines in `lines`
// (each ending in '\n'), or a refusal printed as one line and its exit status. Such a mode
// takes many files (each line then after the file's name and a tab); a new one is a function
// of this kind in a file of its own, chosen in Analysemain's Run.
using LinesMode = int (*)(const Options& o, const std::string& path, std::string* lines);

// Parses argv; returns -1 to go on, else the exit status: with the text for standard output in
// `out` (help, version), or with the one-line reason for a refusal in `error` (without the
// program's name). `version` is what --version prints.
int ParseOptions(int argc, char** argv, Options* o, std::string* out, std::string* error,
                 const char* version = "");
