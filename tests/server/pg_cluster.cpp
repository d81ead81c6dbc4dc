#include "pg_cluster.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

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

std::string PgCluster::Uri(const std::string& database) {
  Run(bin_ + "/createdb -h " + folder_ + " -U postgres " + database + " >/dev/null 2>&1");
  return "postgresql:///" + database + "?host=" + folder_ + "&user=postgres";
}

}  // namespace gorvane::testing
