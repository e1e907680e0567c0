// The analyser's one worker thread: record a block, transform each channel, turn magnitudes
// into levels, average, hold maxima and hand the block to the user-interface thread.
#pragma once

#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>

#include <vector>
#include "Capturesource.h"
#include "Inputlist.h"

#include "Spectrumconsumer.h"

// What the worker needs of the main window. The eight accessors are called on the worker
// thread while the user-interface thread may write the fields: they must read atomics.
// Everything else is called on the user-interface thread during the hand-over.
class SpectrumMainLink {
 public:
  virtual ~SpectrumMainLink() = default;
  virtual double GetSamplingRate() const = 0;
  virtual double GetFFTLength() const = 0;
  virtual int GetWindowIndex() const = 0;
  virtual int GetNumChannels() const = 0;
  virtual int GetGoniometerOpen() const = 0;
  virtual int GetBandAnalyserOpen() const = 0;
  virtual double GetCorrFactor() const = 0;
  // The input to record from, read whole at every block (worker thread, like the above).
  virtual InputEntry GetInput() const { return DefaultInput(); }
  virtual void ScaleAxes() = 0;
  // series 1..4: "L", "R", "Lmax", "Rmax".
  virtual void ClearTrace(int series) = 0;
  virtual void AddTracePoint(int series, double x, double y, uint32_t rgb) = 0;
  // The same as AddTracePoint for each point in turn; one call a block instead of one a point.
  virtual void AddTracePoints(int series, const double* x, const double* y, int count,
                              uint32_t rgb) {
    for (int k = 0; k < count; ++k)
      AddTracePoint(series, x[k], y[k], rgb);
  }
};

// The vector scope window.
class SpectrumScopeLink {
 public:
  virtual ~SpectrumScopeLink() = default;
  virtual void SetScopeAxes() = 0;
  virtual void ShowBlock(const double* left, const double* right, int n) = 0;
};

// The one-third-octave analyser window.
class SpectrumBandLink {
 public:
  virtual ~SpectrumBandLink() = default;
  virtual void ShowBands(const double* frequency, const double* left, const double* right,
                         int count) = 0;
};

// The receivers of every block. Main, Scope and Band are the stored windows; Spectra and
// Scopes are the tool windows added since, each fed during the same hand-over (after the
// stored ones) while its own Receiving() says so. The lists are copied at Start.
struct SpectrumLinks {
  SpectrumMainLink* Main = nullptr;
  SpectrumScopeLink* Scope = nullptr;
  SpectrumBandLink* Band = nullptr;
  std::vector<SpectrumConsumer*> Spectra;
  std::vector<SampleConsumer*> Scopes;
  // Fed with every recorded sample while it listens (none by default: no stream attached).
  StreamConsumer* Stream = nullptr;
};

class TCalcSpectrumThread : public QThread {
  Q_OBJECT
 public:
  // Must be called on the user-interface thread: the hand-over and the end event are
  // delivered to that thread. Unless suspended, the thread starts at once, below normal
  // priority. It deletes itself after OnTerminate has run.
  TCalcSpectrumThread(bool CreateSuspended, double FFTLength, double SamplingRate, int WindowIndex,
                      int NumChannels, int Averages, int MaxHold, SpectrumLinks links);
  ~TCalcSpectrumThread() override;

  // Runs on the user-interface thread after the block loop has ended, before the object is
  // released.
  std::function<void(TCalcSpectrumThread*)> OnTerminate;

  // Ask the loop to end after the current block (which is still shown).
  void Terminate();
  bool Terminated() const;

  // The windows are going away: deliver nothing more (no further hand-over and no
  // OnTerminate), cut the current capture short, and wait up to timeoutMs for the thread to
  // end. Returns whether it ended. Call on the user-interface thread.
  bool Shutdown(int timeoutMs);

  // Blocks handed over so far (any thread).
  int BlocksShown() const;
  // The run ended because its input has no further block (the end of a file; any thread).
  bool InputEnded() const;
  // Blocks of this run whose recording broke (CaptureSession::BrokenBlocks; any thread).
  int BrokenBlocks() const;
  // What the capture of the current input is doing (Idle before the first block; any thread).
  CaptureState InputState() const;

  static constexpr uint32_t clBlue = 0xff0000ff;
  static constexpr uint32_t clRed = 0xffff0000;
  static constexpr double MaxHoldFloor = -150.0;

 protected:
  void run() override;

 private:
  struct Impl;
  Impl* impl_;
};
