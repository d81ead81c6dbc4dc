// SPDX-License-Identifier: GPL-3.0-or-later
// The usual benchmark table, plus each benchmark's median run kept, so a
// benchmark can print its own ratios from the numbers of the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace gorvane::bench {

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  // Colour codes only for a terminal, so logs stay readable.
  MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!median && !single) continue;
      const std::string& args = run.run_name.args;
      medians_.insert_or_assign(run.run_name.function_name + (args.empty() ? "" : "/" + args), run);
    }
  }

  // A counter of the median run ("bytes_per_second", "items_per_second"), 0 when missing.
  double Counter(const std::string& name, const std::string& counter) const {
    const auto run = medians_.find(name);
    if (run == medians_.end()) return 0.0;
    const auto value = run->second.counters.find(counter);
    return value == run->second.counters.end() ? 0.0 : value->second.value;
  }

  // The median wall time per iteration in milliseconds, 0 when missing.
  double Milliseconds(const std::string& name) const {
    const auto run = medians_.find(name);
    if (run == medians_.end()) return 0.0;
    return run->second.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
           benchmark::GetTimeUnitMultiplier(run->second.time_unit);
  }

 private:
  std::map<std::string, Run> medians_;
};

}  // namespace gorvane::bench
