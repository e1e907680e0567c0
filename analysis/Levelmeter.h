// The level meter's numbers over one block of samples scaled as 16-bit values.
#pragma once

// Largest magnitude of the n values; 0 for none.
double PeakValue(const double* values, int n);
// Mean of the squares of values / reference; 0 for none.
double MeanSquare(const double* values, int n, double reference);

// Levels in dB relative to full scale (32768) plus `correction`: the peak, and the RMS as the
// mean square's 10 log10. Silence gives minus infinity, which the meter shows as such.
double PeakLevelDb(const double* values, int n, double correction);
double RmsLevelDb(const double* values, int n, double correction);
