// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/owner_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

namespace gorvane {
namespace {

namespace fs = std::filesystem;

// The file a write lands in: a symbolic link is followed (through links to
// links) so that the link stays and its target gets the bytes.
fs::path WriteTarget(const fs::path& path) {
  fs::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(target, error))) break;
    const fs::path next = fs::read_symlink(target, error);
    if (error) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// A new file beside target under a name of its own: two clients sharing a
// folder never write into each other's temporary file. -1 when the folder
// takes no new file.
int CreateTemporary(const fs::path& target, std::string& name) {
  std::random_device random;
  for (int attempt = 0; attempt < 8; ++attempt) {
    name = target.string() + "." + std::to_string(::getpid()) + "-" + std::to_string(random()) + ".tmp";
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// What these files hold (a password, the keys the player trusts) is the
// player's alone: whatever mode the file had, the group and others lose it.
constexpr mode_t kOwnerOnly = 07700;

bool WriteInPlace(const fs::path& target, std::string_view bytes) {
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  struct stat now {};
  if (::stat(target.c_str(), &now) == 0) ::chmod(target.c_str(), now.st_mode & kOwnerOnly);
  return static_cast<bool>(out);
}

}  // namespace

// The file's bytes; empty when it does not exist, nothing when it exists but
// cannot be read (so that a write never replaces a file it could not see).
std::optional<std::string> LoadFileBytes(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) return std::string();
  if (error || status.type() != fs::file_type::regular) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  while (in) {
    in.read(buffer, sizeof buffer);
    bytes.append(buffer, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Writes beside the file and renames over it, so a failed write leaves the
// old file in place rather than a truncated one. Where the folder takes
// no new file or the rename is refused (a read-only folder holding a
// writable file), the file is written in place instead.
bool SaveOwnerOnly(const std::string& path, std::string_view bytes) {
  const fs::path target = WriteTarget(path);
  std::string temporary;
  const int fd = CreateTemporary(target, temporary);
  if (fd >= 0) {
    bool written = WriteAll(fd, bytes);
    // Keep the owner's part of the old file's permissions; a new file is 0600.
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & kOwnerOnly);
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    // A write that failed beside the file (a full disk) would fail in place
    // too, after truncating it: leave the old settings alone.
    if (!written) return false;
  }
  return WriteInPlace(target, bytes);
}

}  // namespace gorvane
