// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/server/pg_cluster.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace gorvane::testing {
namespace {

// The newest installed server's programs.
std::string FindBin() {
  std::set<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
    if (std::filesystem::exists(entry.path() / "bin/initdb")) found.insert((entry.path() / "bin").string());
  }
  return found.empty() ? std::string() : *found.rbegin();
}

}  // namespace

PgCluster::PgCluster() : bin_(FindBin()), root_(::geteuid() == 0) {
  if (bin_.empty()) {
    failure_ = "PostgreSQL is not installed (apt-get install postgresql)";
    return;
  }
  char folder[] = "/tmp/gorvane-pg-XXXXXX";
  if (::mkdtemp(folder) == nullptr) {
    failure_ = "no temporary folder";
    return;
  }
  folder_ = folder;
  if (root_ && std::system(("chown postgres: " + folder_).c_str()) != 0) {
    failure_ = "cannot hand the folder to the postgres user";
    return;
  }
  if (!Run(bin_ + "/initdb -D " + folder_ + "/data -U postgres -A trust -E UTF8 >" + folder_ +
           "/initdb.log 2>&1") ||
      !Start()) {
    failure_ = "the cluster did not start; see " + folder_;
  }
}

PgCluster::~PgCluster() {
  if (folder_.empty()) return;
  Stop();
  std::error_code error;
  std::filesystem::remove_all(folder_, error);
}

bool PgCluster::Run(const std::string& command) {
  const std::string line = root_ ? "runuser -u postgres -- sh -c '" + command + "'" : command;
  return std::system(line.c_str()) == 0;
}

bool PgCluster::Start() {
  // No TCP at all: the socket in the folder is the only way in.
  return Run(bin_ + "/pg_ctl -D " + folder_ + "/data -l " + folder_ + "/server.log -w -t 30 -o \"-k " +
             folder_ + " -c listen_addresses= -c fsync=off\" start >/dev/null");
}

bool PgCluster::Stop() {
  return Run(bin_ + "/pg_ctl -D " + folder_ + "/data -m fast -w stop >/dev/null 2>&1");
}

bool PgCluster::Signal(int signal) {
  // The postmaster's id is the first line of its pid file; its children
  // (the backends) are found by their parent, by id alone.
  pid_t postmaster = 0;
  std::ifstream(folder_ + "/data/postmaster.pid") >> postmaster;
  if (postmaster <= 0) return false;
  bool sent = ::kill(postmaster, signal) == 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold blanks, not ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == postmaster) sent = ::kill(std::stoi(entry.path().filename().string()), signal) == 0 && sent;
  }
  return sent;
}

bool PgCluster::Pause() { return Signal(SIGSTOP); }

bool PgCluster::Resume() { return Signal(SIGCONT); }

std::string PgCluster::Uri(const std::string& database) {
  Run(bin_ + "/createdb -h " + folder_ + " -U postgres " + database + " >/dev/null 2>&1");
  return "postgresql:///" + database + "?host=" + folder_ + "&user=postgres";
}

}  // namespace gorvane::testing
