// The transfer function at a resolution constant per octave: several FFT lengths fed the same
// samples, each giving the octaves where its bins are just dense enough (long blocks for the
// lows, short ones for the highs), merged into one curve with at least `pointsPerOctave` points
// in every octave from `lowHz` up. Qt-free; one thread at a time.
#pragma once

#include <memory>
#include <vector>

#include "Transferfunction.h"

class Multiresolutiontransfer {
 public:
  // The longest length gives pointsPerOctave bins per octave at lowHz (up to 262144); each
  // next one is half as long, down to 1024. base.Length is not used; the rest of base applies
  // to every length.
  Multiresolutiontransfer(const TransferSettings& base, double rate, double lowHz = 20.0,
                          int pointsPerOctave = 24);

  const std::vector<int>& Lengths() const { return lengths_; }
  // Where each length's part begins (Hz): the first at its first bin.
  const std::vector<double>& From() const { return from_; }

  bool SetDelay(double samples);
  void SetSmoothing(int fraction);
  void Push(const double* measurement, const double* reference, int frames);
  void Reset();

  // Frequency ascending; every array as in TransferResult. Averages: those of the longest.
  TransferResult Result() const;

 private:
  std::vector<std::unique_ptr<Transferfunction>> parts_;
  std::vector<int> lengths_;
  std::vector<double> from_;
  double rate_;
};
