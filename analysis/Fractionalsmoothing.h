// Fractional-octave smoothing of a spectrum on the bins of one FFT: each point becomes the mean
// over the bins within 1/N octave around it, skipping blanked (NaN) points. The band is
// centred on the bin (as many bins below as above), so that a slope is not shifted by it; a
// constant stays that constant at every fraction, since the mean divides by the bins it sums.
#pragma once

#include <vector>

// 1/N octave: 1, 3, 6, 12, 24 or 48; 0 is "no smoothing".
bool ValidSmoothingFraction(int fraction);

struct SmoothingBand {
  int Low;   // first bin
  int High;  // last bin (inclusive)
};

// Half the width in bins of the 1/N octave centred on bin k: h with (k + h) / (k - h) = 2^(1/N),
// rounded.
int FractionalHalfWidth(int k, int fraction);
// The bins k - h ... k + h, h = FractionalHalfWidth, narrowed on both sides alike to stay
// within [1, bins - 1] (DC alone for k = 0). fraction 0 gives k alone.
SmoothingBand FractionalBand(int k, int fraction, int bins);

// out[k]: the mean of values over FractionalBand(k) without the NaN points; NaN where
// values[k] is NaN (a blanked point stays blank). out may not alias values.
void SmoothMean(const double* values, int bins, int fraction, double* out);

// The complex mean of (re, im) over the same bands; NaN where re[k] is NaN.
void SmoothComplex(const double* re, const double* im, int bins, int fraction, double* outRe,
                   double* outIm);
