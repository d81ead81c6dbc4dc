// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/base/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace gorvane::server {

std::optional<SocketAddress> ListenAddress(const std::string& text, uint16_t port) {
  SocketAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    address.length = sizeof(sockaddr_in);
    return address;
  }
  std::string bare = text;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    address.length = sizeof(sockaddr_in6);
    return address;
  }
  return std::nullopt;
}

std::string HostOf(const sockaddr_storage& address) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text.data(), text.size());
    return text.data();
  }
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      in_addr v4{};
      std::memcpy(&v4, v6.sin6_addr.s6_addr + 12, sizeof v4);
      inet_ntop(AF_INET, &v4, text.data(), text.size());
    } else {
      inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
    }
    return text.data();
  }
  return "?";
}

std::string AddressKey(const sockaddr_storage& address, int prefixBits) {
  if (address.ss_family != AF_INET6 || prefixBits >= 128) return HostOf(address);
  auto v6 = reinterpret_cast<const sockaddr_in6&>(address);
  if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return HostOf(address);
  const int bits = std::max(prefixBits, 0);
  for (int byte = 0; byte < 16; ++byte) {
    const int keep = std::clamp(bits - byte * 8, 0, 8);
    v6.sin6_addr.s6_addr[byte] &= static_cast<uint8_t>(0xFF00 >> keep);
  }
  std::array<char, INET6_ADDRSTRLEN> text{};
  inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
  return std::string(text.data()) + "/" + std::to_string(bits);
}

std::optional<std::string> AddressKeyOf(std::string_view text, int prefixBits) {
  std::string bare(text);
  if (const size_t slash = bare.find('/'); slash != std::string::npos) {
    // Only a key's own prefix, all digits: "10.0.0.1/8" names a network,
    // which no ban is made for.
    const std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string_view::npos ||
        bare.find(':') == std::string::npos) {
      return std::nullopt;
    }
    bare.resize(slash);
  }
  const auto address = ListenAddress(bare, 0);
  if (!address) return std::nullopt;
  return AddressKey(address->storage, prefixBits);
}

bool EnableKeepalive(int fd, int idleSeconds, int intervalSeconds, int count) {
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
}

uint16_t PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

std::string PeerText(const sockaddr_storage& address) {
  const std::string host = HostOf(address);
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(PortOf(address));
}

}  // namespace gorvane::server
