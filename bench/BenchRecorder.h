// A console reporter that also keeps each benchmark's time per iteration, so a benchmark's main
// can print figures that compare two of them from the same run. With repetitions (best
// interleaved at random, so that a busy moment of the machine does not fall on one side only)
// the median repetition counts.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
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
      if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
        const auto n = static_cast<double>(r.iterations);
        runs_[r.run_name.str()].push_back(
            {r.real_accumulated_time / n, r.cpu_accumulated_time / n});
      }
    ConsoleReporter::ReportRuns(runs);
  }

  // Seconds per iteration of the median repetition (by CPU time) of the named benchmark:
  // wall clock, CPU time. False when it did not run.
  bool Median(const std::string& name, std::pair<double, double>& seconds) const {
    const auto it = runs_.find(name);
    if (it == runs_.end() || it->second.empty()) return false;
    std::vector<std::pair<double, double>> v = it->second;
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    seconds = v[v.size() / 2];
    return true;
  }

 private:
  std::map<std::string, std::vector<std::pair<double, double>>> runs_;
};
