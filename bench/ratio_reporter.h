// A console reporter that also keeps each benchmark's CPU time per iteration by name, so a
// program can print ratios between benchmarks of the same run (the only comparison that
// means anything on a noisy machine). With repetitions, the median of each is kept.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vortane::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        times_[run.run_name.str()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // CPU time per iteration of the benchmark `name`, if it ran.
  std::optional<double> Time(const std::string& name) const {
    const auto found = times_.find(name);
    if (found == times_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace vortane::bench
