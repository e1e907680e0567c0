// What the tool windows that follow every block receive. Qt-free, so the command line and the
// tests can feed the same consumers.
#pragma once

// One block as handed over, valid only during the call that receives it.
struct SpectrumBlock {
  int Bins = 0;               // FFT length / 2: bins 0 .. N/2-1
  double FFTLength = 0;
  double SamplingRate = 0;
  int WindowIndex = 0;        // 0..4, the order of the window list
  int NumChannels = 1;        // 1 or 2
  double CorrFactor = 0;      // dB, already included in the levels
  const double* Frequency = nullptr;   // Hz per bin
  const double* LevelL = nullptr;      // dB, correction included (mono: the one channel)
  const double* LevelR = nullptr;      // null in mono
  const double* MagnitudeL = nullptr;  // linear, normalised, no correction
  const double* MagnitudeR = nullptr;  // null in mono
  const double* MaxLevelL = nullptr;   // null without max hold
  const double* MaxLevelR = nullptr;
  int FramesRecorded = 0;     // frames the capture delivered (fewer: a dropout, not silence)
};

// Raw samples of a block, 16-bit scale as doubles.
struct SampleBlock {
  int Frames = 0;
  int NumChannels = 1;
  double SamplingRate = 0;
  const double* Left = nullptr;   // mono: the one channel
  const double* Right = nullptr;  // null in mono
};

// A view fed with the levels and magnitudes of every block.
class SpectrumConsumer {
 public:
  virtual ~SpectrumConsumer() = default;
  // Any thread, cheap (an atomic): the worker skips a consumer that is not receiving.
  virtual bool Receiving() const = 0;
  // User-interface thread, inside the hand-over.
  virtual void ShowSpectrum(const SpectrumBlock& block) = 0;
};

// A view fed with the raw samples of every block.
class SampleConsumer {
 public:
  virtual ~SampleConsumer() = default;
  virtual bool Receiving() const = 0;
  virtual void ShowSamples(const SampleBlock& block) = 0;
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
