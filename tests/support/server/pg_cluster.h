// SPDX-License-Identifier: GPL-3.0-or-later
// A throw-away PostgreSQL cluster for a test: initdb into a temporary
// folder, reached only through a Unix socket there, stopped and removed
// afterwards. Run as the postgres user when the tests run as root.
#pragma once

#include <string>

namespace gorvane::testing {

class PgCluster {
 public:
  PgCluster();
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // Why there is no cluster (PostgreSQL not installed, initdb failed);
  // empty when it runs.
  const std::string& failure() const { return failure_; }
  // A fresh database of the cluster, created on first use.
  std::string Uri(const std::string& database);
  bool Stop();
  bool Start();
  // Freezes the cluster's processes (SIGSTOP), as a database host that no
  // longer answers, and lets them go on again (SIGCONT).
  bool Pause();
  bool Resume();

 private:
  bool Run(const std::string& command);
  bool Signal(int signal);

  std::string bin_;
  std::string folder_;
  std::string failure_;
  bool root_ = false;
};

}  // namespace gorvane::testing
