// The one-third-octave bands and the level of each band from one spectrum.
#pragma once

#include <array>

inline constexpr int kOctaveBands = 31;
// Nominal frequencies from 20 Hz; entry j + 1 is the upper limit of band j.
inline constexpr std::array<double, kOctaveBands + 1> kOctaveBandCentres = {
    20,   25,   31.5, 40,   50,   63,    80,    100,   125,   160,  200,
    250,  315,  400,  500,  630,  800,   1000,  1250,  1600,  2000, 2500,
    3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000, 25000};
// The magnitude sum a band without any energy reads as (-180 dB).
inline constexpr double kBandSilenceFloor = 1e-9;

// Level in dB of each band: 20 log10 of the sum of the magnitudes of its bins. The bins come in
// ascending frequency; bin i belongs to the first band whose upper limit is at or above it, and
// bins below 20 Hz count in the first band. At coarse resolutions bands "25" to "630" may hold
// no bin: such a band, at or below `emptyAtDb`, repeats the level of the band to its left.
std::array<double, kOctaveBands> OctaveBandLevels(const double* frequency, const double* magnitude,
                                                  int count, double emptyAtDb);
