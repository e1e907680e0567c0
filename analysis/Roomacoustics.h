// Room-acoustic parameters of an impulse response after ISO 3382-1: the onset, the backward
// (Schroeder) integrated decay with the noise floor's truncation and correction after Lundeby
// et al., EDT, T20 and T30 from least-squares lines, C50, C80, D50 and the centre time Ts;
// broadband and in the octave bands from 63 Hz to 8 kHz.
//
// What is not measurable is not guessed: a value is NaN and its reason says why. The rule is
// the standard's: the bottom of a regression's range must lie at least 10 dB above the noise,
// so with the decay's range above the noise (the level of its smoothed energy at the onset
// over the noise level, rangeDb) EDT needs 20 dB, T20 35 dB and T30 45 dB; C50, C80, D50 and
// Ts need 20 dB and a response that meets the noise no earlier than 80 ms after its onset.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

class OctaveFilterBank;

inline constexpr double kRequiredRangeEdtDb = 20.0;
inline constexpr double kRequiredRangeT20Db = 35.0;
inline constexpr double kRequiredRangeT30Db = 45.0;
inline constexpr double kRequiredRangeEnergyDb = 20.0;

struct DecayTime {
  double seconds = std::numeric_limits<double>::quiet_NaN();
  // The regression's correlation coefficient: -1 for a straight decay. Reported whenever the
  // line could be fitted, even where the range makes the time invalid.
  double r = std::numeric_limits<double>::quiet_NaN();
  std::string reason;  // why seconds is NaN; empty when it is valid
};

struct RoomParameters {
  std::string band;    // "broadband" or the octave's nominal frequency ("63" .. "8000")
  double midHz = 0.0;  // the octave's exact mid-band; 0 for broadband
  DecayTime edt, t20, t30;
  double c50Db = std::numeric_limits<double>::quiet_NaN();
  double c80Db = std::numeric_limits<double>::quiet_NaN();
  double d50Pct = std::numeric_limits<double>::quiet_NaN();
  double tsMs = std::numeric_limits<double>::quiet_NaN();
  std::string energyReason;  // why C50, C80, D50 and Ts are NaN
  // How the response was read: seconds on the signal's own time axis.
  double onsetSeconds = 0.0;
  double truncationSeconds = 0.0;  // where the decay meets the noise (Lundeby)
  double noiseDb = 0.0;            // the noise's mean energy re the decay's start
  double rangeDb = 0.0;            // the decay's start over the noise
  // The compensated backward integral from the onset to the truncation, 0 dB at the onset;
  // value i lies at onsetSeconds + i / curveRate.
  double curveRate = 0.0;
  std::vector<double> curveDb;
};

struct RoomAcoustics {
  bool valid = false;
  std::string error;  // why nothing could be measured
  RoomParameters broadband;
  std::vector<RoomParameters> bands;  // 63 Hz up, those below 0.45 x rate
};

// One signal as it is (no band filter). midHz, when known, keeps the smoothing intervals at
// a few periods of the band. onsetSeconds, when given, is the onset (on the signal's time
// axis) instead of the 20 dB rule: a band takes the broadband response's, since ahead of it a
// backward filter's output is the filter's own ringing.
RoomParameters AnalyseDecay(const double* response, int64_t frames, double rate, double midHz = 0.0,
                            double onsetSeconds = std::numeric_limits<double>::quiet_NaN());

// A band of the response through the octave filter bank's own filters, run backwards in time
// (the response reversed, filtered and reversed back) so that the filters' ringing does not
// add to the room's decay. The result runs at *bandRate; its sample 0 lies at *startSeconds
// on the response's time axis.
// bank: OctaveFilterBank(1, rate, 1), band an index into its Bands().
std::vector<double> BackwardOctaveBand(const OctaveFilterBank& bank, const double* response,
                                       int64_t frames, int band, double* bandRate,
                                       double* startSeconds);

// Broadband and every octave band. Refused (valid false): an empty or over-long response,
// samples that are NaN or infinite, a rate below 8 kHz, silence.
RoomAcoustics AnalyseRoom(const double* response, int64_t frames, double rate);

// The octaves AnalyseRoom reports: indices into OctaveFilterBank(1, rate, 1).Bands().
std::vector<int> RoomOctaveBands(double rate);

// The longest response AnalyseRoom takes (frames).
int64_t MaxRoomResponseFrames();
