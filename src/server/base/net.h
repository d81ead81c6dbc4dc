// SPDX-License-Identifier: GPL-3.0-or-later
// Socket addresses as the server uses them: where it listens (IPv4 or IPv6)
// and how a peer is named in the log and counted per address.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gorvane::server {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
};

// "127.0.0.1", "0.0.0.0", "::1", "[::1]" or "::" with the port; nothing when
// the text is no numeric IPv4 or IPv6 address.
std::optional<SocketAddress> ListenAddress(const std::string& text, uint16_t port);

// The peer's address alone, an IPv4 address mapped into IPv6 shown as IPv4:
// what connections are counted by.
std::string HostOf(const sockaddr_storage& address);
// What per-address limits count by: the host, except that an IPv6 address
// counts by its first prefixBits bits ("2001:db8:1:2::/64"), since one
// holder of a /64 has countless addresses.
std::string AddressKey(const sockaddr_storage& address, int prefixBits);
// The same key for an address a person typed: "192.0.2.7", "2001:db8::1",
// "[2001:db8::1]", or a key as AddressKey writes it ("2001:db8:1:2::/64",
// its prefix counted anew at prefixBits); nothing when it is no address.
std::optional<std::string> AddressKeyOf(std::string_view text, int prefixBits);
// TCP keepalive on an accepted connection, so that a peer that vanished
// without closing is noticed within about idle + count * interval seconds.
bool EnableKeepalive(int fd, int idleSeconds, int intervalSeconds, int count);
// "127.0.0.1:40000" or "[::1]:40000".
std::string PeerText(const sockaddr_storage& address);
uint16_t PortOf(const sockaddr_storage& address);

}  // namespace gorvane::server
