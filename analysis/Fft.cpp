#include "Fft.h"
