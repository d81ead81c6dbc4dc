// SPDX-License-Identifier: GPL-3.0-or-later
// The smoke run every benchmark knows: with GORVANE_BENCH_SMOKE=1 in the
// environment each one runs all its parts once, at sizes small enough for
// CI, through the same code as a full run, so that a benchmark that no
// longer runs is seen. Its figures are printed but mean nothing. Without
// the variable a benchmark measures what it always has.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gorvane::bench {

inline bool SmokeRun() {
  const char* value = std::getenv("GORVANE_BENCH_SMOKE");
  return value != nullptr && std::string_view(value) == "1";
}

// A command line for benchmark::Initialize: the program's name, then the
// flags a benchmark sets for itself, then those given by hand, which win.
// In a smoke run each repetition stops after its first iteration.
class BenchmarkFlags {
 public:
  BenchmarkFlags(int argc, char** argv, std::vector<std::string> own) : own_(std::move(own)) {
    if (SmokeRun()) own_.insert(own_.begin(), "--benchmark_min_time=0.000001");
    args_.push_back(argv[0]);
    for (std::string& flag : own_) args_.push_back(flag.data());
    args_.insert(args_.end(), argv + 1, argv + argc);
    count_ = static_cast<int>(args_.size());
  }
  BenchmarkFlags(const BenchmarkFlags&) = delete;
  BenchmarkFlags& operator=(const BenchmarkFlags&) = delete;
  int* argc() { return &count_; }
  char** argv() { return args_.data(); }

 private:
  std::vector<std::string> own_;
  std::vector<char*> args_;
  int count_ = 0;
};

}  // namespace gorvane::bench
