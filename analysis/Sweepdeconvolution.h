// The impulse response of a system from a recording of the sweep it was played: spectral
// division by the sweep, regularised outside the sweep's band so that the frequencies it never
// played are not amplified from noise. With a logarithmic sweep the harmonic distortion
// products land before the linear response; they are cut out and kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DeconvolutionOptions {
  // The sweep's band in Hz; 0: found from the sweep's own spectrum (where its power density,
  // smoothed over a sixth of an octave, lies within 50 dB of its highest).
  double lowHz = 0.0;
  double highHz = 0.0;
  // A logarithmic sweep's rate constant L in seconds (LogSweepShape::rateConstant): with it
  // the 2nd to 5th harmonic responses are cut out. 0: found from the sweep when its frequency
  // rises exponentially (EstimateLogSweepRateConstant); negative: no harmonics.
  double logRateConstant = 0.0;
  // How much of the response before time zero to keep (the band limit's pre-ringing); with a
  // log sweep at most half the way to the 2nd harmonic.
  double preSeconds = 0.25;
};

// One harmonic's response as cut from before the linear one, tapered at both ends.
struct HarmonicResponse {
  int order = 0;        // 2 .. 5
  int64_t start = 0;    // samples[0]'s time in samples relative to the recording's start
  double expected = 0;  // where its impulse lies by the sweep's maths, on the same time axis
  std::vector<double> samples;
};

struct SweepDeconvolution {
  bool valid = false;
  std::string error;  // why not, one line
  double rate = 0.0;
  double lowHz = 0.0, highHz = 0.0;  // the band the division trusted
  double logRateConstant = 0.0;      // L used for the harmonics; 0: none
  // The linear response: the sample at index `zero` is the recording's first sample's time;
  // it runs from preSeconds before that to the recording's length less the sweep's (what the
  // recording holds after the sweep is the response's length). Unity gain: a recording equal
  // to the sweep gives a (band-limited) unit impulse at `zero`.
  std::vector<double> response;
  int64_t zero = 0;
  int64_t peak = 0;                         // index in `response` of its largest magnitude
  std::vector<HarmonicResponse> harmonics;  // orders 2..5 with a log sweep, else empty
  int64_t halfWindow = 0;  // each harmonic's cut spans its impulse +- halfWindow samples
};

// recording and sweep in the same scale and at the same rate. Refused (valid false, error
// set): a sweep longer than the recording, a silent sweep, samples that are NaN or infinite,
// or a pair too long to transform at once.
SweepDeconvolution DeconvolveSweep(const double* recording, int64_t recordingFrames,
                                   const double* sweep, int64_t sweepFrames, double rate,
                                   const DeconvolutionOptions& options = {});

// The largest recording + sweep length DeconvolveSweep takes (frames).
int64_t MaxDeconvolutionFrames();

// Harmonic k's level re the fundamental in dB at each excitation frequency f: |H_k(k f)| /
// |H_1(f)| from equal windows around each impulse. NaN where f or k f lies outside the band.
struct HarmonicDistortionCurves {
  std::vector<double> frequency;
  std::vector<double> levelDb[4];  // orders 2, 3, 4, 5
  std::vector<double> thdDb;       // their power sum, over the orders inside the band
};
HarmonicDistortionCurves HarmonicDistortion(const SweepDeconvolution& d,
                                            const std::vector<double>& frequencies);
