// SPDX-License-Identifier: GPL-3.0-or-later
// The lobby's transport when the socket can speak TLS: it decides, per
// address, whether a connection is plain or encrypted, and whether the key
// it meets is trusted, before the lobby hears of the connection at all.
//
// An address without a pinned key is dialled in plain, exactly as a client
// without TLS would. The bytes read first are held until they show whether
// S_CONNECT is followed by S_TLS: if not, the lobby gets its connect event
// and those bytes unchanged; if so, the plain connection is closed before a
// byte was sent, the address is dialled with TLS and the key it shows must be
// the one announced, which is then pinned. An address with a pinned key is
// only ever dialled with TLS, and answers with another key, or without TLS,
// reach nothing: the player gets a box saying why. A handshake that the
// server does not answer in time is a failed connect, as a dial that gets
// no answer is.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "client/server_keys.h"
#include "spine/ports.h"

namespace gorvane {

// What the first bytes of a plain connection say.
struct GreetingLook {
  enum class Kind {
    kWait,   // not enough yet: S_CONNECT is incomplete, or so is what follows it
    kPlain,  // no offer of TLS: hand the bytes on as they are
    kOffer,  // S_CONNECT followed by S_TLS with a well-formed fingerprint
  };
  Kind kind = Kind::kWait;
  std::string fingerprint;  // kOffer: in canonical form
};
// Nothing is waited for that a server without TLS would not send anyway: a
// read that ends with S_CONNECT's terminator is plain at once.
GreetingLook LookAtGreeting(std::string_view bytes);
// Bytes held at most while S_CONNECT is incomplete; past them the read is
// handed on and the framing's own limit applies.
inline constexpr size_t kGreetingLookLimit = 64 * 1024;

// The key the socket met in a TLS handshake.
struct PeerKey {
  std::string fingerprint;       // FormatFingerprint of its SubjectPublicKeyInfo's SHA-256
  bool trustedBySystem = false;  // the certificate is valid for the address under the system's authorities
};

// A socket that can also dial with TLS: its connect event is the TCP
// connection's; an encrypted connection then reports its handshake.
class TlsSocket : public Transport {
 public:
  // Begins a TLS connect; false when it cannot even start.
  virtual bool StartEncrypted(const std::string& address, uint16_t port) = 0;
};

class SecureTransport : public Transport {
 public:
  // What the lobby hears: the events of a plain socket, plus black lobby
  // lines and a refusal (a box; the connection was never made).
  struct Events {
    std::function<void()> connect;
    std::function<void()> disconnect;
    std::function<void(std::string_view)> read;
    std::function<void(SocketErrorKind, std::string_view)> error;
    std::function<void(std::string_view cp932Line)> notice;
    std::function<void(std::string_view cp932Text)> refused;
  };

  SecureTransport(TlsSocket& socket, ServerKeys keys, Events events)
      : socket_(socket), keys_(std::move(keys)), events_(std::move(events)) {}

  // Transport, as the lobby sees it.
  bool active() const override { return phase_ == Phase::kUp; }
  bool connected() const override { return phase_ == Phase::kUp && socket_.connected(); }
  bool Start(const std::string& address, uint16_t port) override;
  void Close() override;
  void Send(std::string_view bytes) override;
  TlsOffer OfferTls(std::string_view fingerprint) override;

  // The socket's events.
  void OnConnect();
  void OnEncrypted(const PeerKey& key);
  void OnRead(std::string_view bytes);
  void OnDisconnect();
  void OnError(SocketErrorKind kind, std::string_view detail);

  bool encrypted() const { return phase_ == Phase::kUp && encrypted_; }

 private:
  enum class Phase {
    kIdle,
    kDialPlain,  // plain TCP connect under way
    kLooking,    // plain and up; the lobby has not heard of it yet
    kDialTls,    // TCP connect under way for TLS
    kHandshake,  // TCP up, TLS handshake under way
    kUp,         // the lobby's connection
    kSwitching,  // a plain connection being closed for a TLS one
  };

  bool DialEncrypted();
  // A handshake that failed or was closed: dialled once more, since a
  // server that waited too short for this ClientHello greets in plain and
  // closes; then no TLS is the answer.
  void HandshakeFailed();
  void GoUp(bool encrypted);
  // The lobby's connection is this plain one: it hears of it, then of the
  // bytes held while looking.
  void GoUpPlain();
  void Refuse(const std::string& cp932Text);
  void RefuseNoTls();
  std::string FilePlace() const;

  TlsSocket& socket_;
  ServerKeys keys_;
  Events events_;
  Phase phase_ = Phase::kIdle;
  std::string address_;
  uint16_t port_ = 0;
  // The key the address must show in the handshake under way: pinned (a
  // later contact) or announced over plain (the first).
  std::string expected_;
  bool pinned_ = false;
  bool encrypted_ = false;
  bool loginSent_ = false;
  // This connect has dialled with TLS a second time already.
  bool redialled_ = false;
  std::string held_;
  // Addresses whose offer came only after a plain login this run: the next
  // connect to them is encrypted from the start.
  std::map<std::string, std::string, std::less<>> offeredLate_;
};

}  // namespace gorvane
