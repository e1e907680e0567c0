#include "Octavebands.h"

#include <cmath>

std::array<double, kOctaveBands> OctaveBandLevels(const double* frequency, const double* magnitude,
                                                  int count, double emptyAtDb) {
  std::array<double, kOctaveBands> levels{};
  if (!frequency || !magnitude || count < 0) count = 0;
  // One ascending pass: each bin lands in at most one band.
  int i = 0;
  for (int j = 0; j < kOctaveBands; ++j) {
    const double upper = kOctaveBandCentres[static_cast<size_t>(j) + 1];
    double sum = 0.0;
    while (i < count && frequency[i] <= upper)
      sum += magnitude[i++];
    const double level = 20.0 * std::log10(sum > 0 ? sum : kBandSilenceFloor);
    const bool mayBeEmpty = j >= 1 && j <= 15;
    levels[static_cast<size_t>(j)] =
        mayBeEmpty && level <= emptyAtDb ? levels[static_cast<size_t>(j) - 1] : level;
  }
  return levels;
}
