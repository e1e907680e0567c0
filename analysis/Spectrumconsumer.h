// What the worker takes and what every window that follows the blocks receives. Qt-free, so the
// command line and the tests can feed the same consumers.
#pragma once

#include "Inputlist.h"

// What a block is made with. The main window sets it whole whenever one of its controls
// changes; the worker takes it whole at the start of each block and uses its own copy
// throughout the block. Averages and MaxHold size the run's history and are taken at Start only.
struct Settings {
  double FFTLength = 2048.0;
  double SamplingRate = 44100.0;
  int WindowIndex = 0;      // 0..4, the order of the window list
  int NumChannels = 1;      // 1 or 2
  int Averages = 1;         // 1..20
  int MaxHold = 0;          // 1: maximum-hold traces
  double CorrFactor = 0.0;  // dB, added to every level
  // 1: the vector scope and the band analyser are fed.
  int GoniometerOpen = 0;
  int BandAnalyserOpen = 0;
  InputEntry Input;  // kind Default: the system's default input
};

// One finished block as handed over: the settings it was made with (a file's own rate and
// channels when one is the input) and its results. The arrays are the worker's and stay valid
// only during the call that receives them; a window that draws later keeps a copy
// (FramePacing::KeptBlock).
struct SpectrumBlock : Settings {
  int Bins = 0;                        // FFT length / 2: bins 0 .. N/2-1
  const double* Frequency = nullptr;   // Hz per bin
  const double* LevelL = nullptr;      // dB, correction included (mono: the one channel)
  const double* LevelR = nullptr;      // null in mono
  const double* MagnitudeL = nullptr;  // linear, normalised, no correction, averaged
  const double* MagnitudeR = nullptr;  // null in mono
  // This block's own magnitudes, before any averaging (null: as MagnitudeL/R).
  const double* BlockMagnitudeL = nullptr;
  const double* BlockMagnitudeR = nullptr;
  const double* MaxLevelL = nullptr;  // null without max hold
  const double* MaxLevelR = nullptr;
  // The raw samples, 16-bit scale as doubles: Frames per channel (the FFT length).
  int Frames = 0;
  const double* SamplesL = nullptr;  // mono: the one channel
  const double* SamplesR = nullptr;  // null in mono
  int FramesRecorded = 0;            // frames the capture delivered (fewer: a dropout, not silence)

  const double* OwnMagnitude(int channel) const {
    if (channel == 0) return BlockMagnitudeL ? BlockMagnitudeL : MagnitudeL;
    return BlockMagnitudeR ? BlockMagnitudeR : MagnitudeR;
  }
};

// A window fed with every block: the main chart, the tool windows, the reference traces.
class SpectrumConsumer {
 public:
  virtual ~SpectrumConsumer() = default;
  // Any thread, cheap (an atomic): the worker skips a consumer that is not receiving.
  virtual bool Receiving() const = 0;
  // User-interface thread, once per block, inside the hand-over. Nothing modal may open here:
  // a message is posted to be shown after the hand-over.
  virtual void ShowSpectrum(const SpectrumBlock& block) = 0;
};

class SampleStream;

// A meter fed with every recorded sample rather than with blocks. The worker attaches its
// stream to the capture while Listening() and detaches it otherwise; one worker at a time
// holds it (between AcquireStream and ReleaseStream), so the stream has one producer.
class StreamConsumer {
 public:
  virtual ~StreamConsumer() = default;
  // Any thread, cheap (an atomic).
  virtual bool Listening() const = 0;
  // Worker thread: the stream for `worker`, or null while another worker holds it.
  virtual SampleStream* AcquireStream(const void* worker) = 0;
  // Worker thread, once its source no longer feeds the stream.
  virtual void ReleaseStream(const void* worker) = 0;
};
