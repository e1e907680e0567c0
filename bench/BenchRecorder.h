// A console reporter that also keeps each benchmark's time per iteration, so a benchmark's main
// can print figures that compare two of them from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

class BenchRecorder : public benchmark::ConsoleReporter {
 public:
  // Plain text: the figures are read back from the output.
  BenchRecorder() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        seconds[r.benchmark_name()] = {r.real_accumulated_time / static_cast<double>(r.iterations),
                                       r.cpu_accumulated_time / static_cast<double>(r.iterations)};
    ConsoleReporter::ReportRuns(runs);
  }
  // Seconds per iteration by benchmark name: wall clock, CPU time.
  std::map<std::string, std::pair<double, double>> seconds;
};
