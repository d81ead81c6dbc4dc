// SPDX-License-Identifier: GPL-3.0-or-later
// The keys of the servers this client has spoken TLS with, trusted on first
// use as SSH does: a small text file beside the settings, one line per
// address ("127.0.0.1 AB:CD:..."), which a person may read and edit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gorvane {

inline constexpr const char* kServerKeysFile = "tvr1_keys.txt";

// A key's fingerprint as the server announces it and the file keeps it: the
// SHA-256 of its public key (SubjectPublicKeyInfo, DER), 32 bytes as upper
// case hex pairs joined by colons.
std::string FormatFingerprint(std::string_view sha256);
// The same form from text in either case; nothing when it is not one.
std::optional<std::string> CanonicalFingerprint(std::string_view text);

class ServerKeys {
 public:
  explicit ServerKeys(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // The key pinned for the address, read from the file each time so that a
  // line the player removed counts at the next connect. A line whose key is
  // not a fingerprint still pins its address: its text then matches no key.
  std::optional<std::string> Find(std::string_view address) const;
  // Pins a key: replaces the address's line or adds one, keeping every other
  // line as it was. False when the file cannot be read or written.
  bool Remember(std::string_view address, std::string_view fingerprint);

 private:
  std::string path_;
};

}  // namespace gorvane
