// Radix-2 FFT engine with window functions: one block of one channel in, normalised
// magnitudes of bins 0..N/2-1 out.
#pragma once
