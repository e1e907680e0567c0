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

class TCalcSpectrumThread : public QThread {
  Q_OBJECT
 public:
  // Must be called on the user-interface thread: the hand-over and the end event are
  // delivered to that thread. Each block goes, in one hand-over, to every consumer of the list
  // that is receiving, in the list's order; `stream` (may be null) is fed with every recorded
  // sample while it listens. The list is the worker's for the run. Unless suspended, the
  // thread starts at once, below normal priority. It deletes itself after OnTerminate has run.
  TCalcSpectrumThread(const Settings& settings, std::vector<SpectrumConsumer*> consumers,
                      StreamConsumer* stream = nullptr, bool CreateSuspended = false);
  ~TCalcSpectrumThread() override;

  // Any thread: the settings for the next block, taken whole at its start. Averages and
  // MaxHold stay the run's.
  void SetSettings(const Settings& settings);

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

  static constexpr double MaxHoldFloor = -150.0;

 protected:
  void run() override;

 private:
  struct Impl;
  Impl* impl_;
};
