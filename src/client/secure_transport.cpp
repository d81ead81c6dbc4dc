// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/secure_transport.h"

#include "spine/codec.h"
#include "spine/sjis.h"

namespace gorvane {
namespace {

// The kind and, for S_TLS, the key of one message as the framing would trim it.
struct Head {
  std::string kind;
  std::string second;
};

Head HeadOf(std::string_view message) {
  const Fields fields = SplitCommaText(TrimMessage(message));
  Head head;
  if (!fields.empty()) head.kind = fields[0];
  if (fields.size() > 1) head.second = fields[1];
  return head;
}

bool IsLogin(std::string_view command) { return command.starts_with("G_LOGIN "); }

}  // namespace

GreetingLook LookAtGreeting(std::string_view bytes) {
  const size_t first = bytes.find('\0');
  if (first == std::string_view::npos) {
    return {bytes.size() > kGreetingLookLimit ? GreetingLook::Kind::kPlain : GreetingLook::Kind::kWait, {}};
  }
  if (HeadOf(bytes.substr(0, first)).kind != "S_CONNECT") return {GreetingLook::Kind::kPlain, {}};
  const std::string_view after = bytes.substr(first + 1);
  // A server without TLS sends nothing more until it has G_JOIN.
  if (after.empty()) return {GreetingLook::Kind::kPlain, {}};
  const size_t second = after.find('\0');
  if (second == std::string_view::npos) {
    return {after.size() > kGreetingLookLimit ? GreetingLook::Kind::kPlain : GreetingLook::Kind::kWait, {}};
  }
  const Head head = HeadOf(after.substr(0, second));
  if (head.kind != "S_TLS") return {GreetingLook::Kind::kPlain, {}};
  std::optional<std::string> key = CanonicalFingerprint(head.second);
  if (!key) return {GreetingLook::Kind::kPlain, {}};
  return {GreetingLook::Kind::kOffer, std::move(*key)};
}

bool SecureTransport::Start(const std::string& address, uint16_t port) {
  if (phase_ != Phase::kIdle) return true;
  address_ = address;
  port_ = port;
  loginSent_ = false;
  redialled_ = false;
  held_.clear();
  if (std::optional<std::string> pin = keys_.Find(address)) {
    expected_ = std::move(*pin);
    pinned_ = true;
    return DialEncrypted();
  }
  if (auto late = offeredLate_.find(address); late != offeredLate_.end()) {
    expected_ = late->second;
    pinned_ = false;
    return DialEncrypted();
  }
  if (!socket_.Start(address, port)) return false;
  phase_ = Phase::kDialPlain;
  return true;
}

bool SecureTransport::DialEncrypted() {
  if (!socket_.StartEncrypted(address_, port_)) {
    phase_ = Phase::kIdle;
    return false;
  }
  phase_ = Phase::kDialTls;
  return true;
}

void SecureTransport::Close() {
  if (phase_ == Phase::kUp) {
    // The socket's disconnect event tells the lobby, as a plain close does.
    socket_.Close();
    return;
  }
  // Nothing the lobby has heard of: it goes without a word.
  phase_ = Phase::kIdle;
  socket_.Close();
}

void SecureTransport::Send(std::string_view bytes) {
  // Nothing goes to a connection the lobby has not been given.
  if (phase_ != Phase::kUp) return;
  if (IsLogin(bytes)) loginSent_ = true;
  socket_.Send(bytes);
}

TlsOffer SecureTransport::OfferTls(std::string_view fingerprint) {
  if (phase_ != Phase::kUp || encrypted_) return TlsOffer::kNoted;
  const std::optional<std::string> key = CanonicalFingerprint(fingerprint);
  if (!key) return TlsOffer::kNoted;
  if (loginSent_) {
    // The password has gone in clear already; dropping the session now would
    // not take it back. The next connect to this address is encrypted.
    offeredLate_[address_] = *key;
    events_.notice(
        "SYS: このサーバは暗号化通信に対応しています．今回の接続は暗号化されていません"
        "（ログインのパスワードは暗号化されずに送られました）．次の接続から暗号化します．"_cp932);
    return TlsOffer::kNoted;
  }
  events_.notice("SYS: 暗号化通信に切り替えます．"_cp932);
  phase_ = Phase::kSwitching;
  expected_ = *key;
  pinned_ = false;
  socket_.Close();
  if (!DialEncrypted()) RefuseNoTls();
  return TlsOffer::kSwitching;
}

void SecureTransport::OnConnect() {
  if (phase_ == Phase::kDialPlain) phase_ = Phase::kLooking;
  if (phase_ == Phase::kDialTls) phase_ = Phase::kHandshake;
}

void SecureTransport::OnRead(std::string_view bytes) {
  if (phase_ == Phase::kUp) {
    events_.read(bytes);
    return;
  }
  if (phase_ != Phase::kLooking) return;
  held_.append(bytes);
  GreetingLook look = LookAtGreeting(held_);
  switch (look.kind) {
    case GreetingLook::Kind::kWait:
      return;
    case GreetingLook::Kind::kPlain:
      GoUpPlain();
      return;
    case GreetingLook::Kind::kOffer:
      held_.clear();
      phase_ = Phase::kSwitching;
      expected_ = std::move(look.fingerprint);
      pinned_ = false;
      socket_.Close();
      if (!DialEncrypted()) RefuseNoTls();
      return;
  }
}

void SecureTransport::OnEncrypted(const PeerKey& key) {
  if (phase_ != Phase::kHandshake) return;
  const std::string place = FilePlace();
  if (pinned_) {
    if (key.fingerprint == expected_) {
      GoUp(true);
      return;
    }
    if (key.trustedBySystem && keys_.Remember(address_, key.fingerprint)) {
      // A certificate authority vouches for the new key (a renewal): it
      // replaces the pin, and the player is told.
      events_.notice(
          "SYS: サーバの鍵が新しくなりました（証明書は認証局が保証しています）．新しい鍵の指紋: "_cp932 +
          key.fingerprint);
      GoUp(true);
      return;
    }
    Refuse("サーバの鍵が，以前に記録した鍵と違います．接続を中止しました．\n"_cp932 +
           "第三者が通信を横取りしている（なりすましている）おそれがあります．\n\nアドレス: "_cp932 +
           address_ + "\n記録されている鍵の指紋: "_cp932 + expected_ + "\n今回の鍵の指紋: "_cp932 +
           key.fingerprint + "\n\nサーバの管理者に鍵を変えたことを確かめた場合に限り，"_cp932 + place +
           " から "_cp932 + address_ +
           " の行を削除してから接続し直してください．新しい鍵が記録されます．"_cp932);
    return;
  }
  if (key.fingerprint != expected_) {
    Refuse(
        "暗号化されていない接続でサーバが知らせた鍵と，暗号化接続で示された鍵が違います．接続を中止しました．\n"_cp932 +
        "途中で第三者が通信を書き換えているおそれがあります．\n\nアドレス: "_cp932 + address_ +
        "\n知らされた鍵の指紋: "_cp932 + expected_ + "\n暗号化接続の鍵の指紋: "_cp932 + key.fingerprint +
        "\n\n鍵は記録していません．サーバの管理者に正しい鍵の指紋を確かめてください．"_cp932);
    return;
  }
  offeredLate_.erase(address_);
  const bool remembered = keys_.Remember(address_, key.fingerprint);
  std::string line = "SYS: この接続は暗号化されています"_cp932;
  if (key.trustedBySystem) line += "（証明書は認証局が保証しています）"_cp932;
  line += "．サーバの鍵の指紋: "_cp932 + key.fingerprint;
  line += remembered ? "（"_cp932 + place + " に記録しました）"_cp932
                     : "（"_cp932 + place + " に記録できませんでした）"_cp932;
  events_.notice(line);
  GoUp(true);
}

void SecureTransport::GoUpPlain() {
  GoUp(false);
  const std::string held = std::move(held_);
  held_.clear();
  if (!held.empty()) events_.read(held);
}

void SecureTransport::OnDisconnect() {
  switch (phase_) {
    case Phase::kUp:
      phase_ = Phase::kIdle;
      events_.disconnect();
      return;
    case Phase::kLooking: {
      // Closed before it showed its greeting: what the lobby would have seen
      // of a plain connection, in its order.
      GoUpPlain();
      phase_ = Phase::kIdle;
      events_.disconnect();
      return;
    }
    case Phase::kHandshake:
      HandshakeFailed();
      return;
    case Phase::kDialPlain:
    case Phase::kDialTls:
      // The close of the connection given up for this dial, late: the
      // dial's own failure comes as an error.
    case Phase::kSwitching:
    case Phase::kIdle:
      return;
  }
}

void SecureTransport::OnError(SocketErrorKind kind, std::string_view detail) {
  switch (phase_) {
    case Phase::kUp:
      events_.error(kind, detail);
      return;
    case Phase::kLooking:
      GoUpPlain();
      if (phase_ == Phase::kUp) events_.error(kind, detail);
      return;
    case Phase::kDialPlain:
    case Phase::kDialTls:
      // Nothing answered at all: the lobby's own connect failure.
      phase_ = Phase::kIdle;
      events_.error(kind, detail);
      return;
    case Phase::kHandshake:
      if (kind == SocketErrorKind::kConnect) {
        // The socket gave up waiting for the handshake: no answer, not a
        // refusal of TLS.
        phase_ = Phase::kIdle;
        socket_.Close();
        events_.error(kind, detail);
        return;
      }
      HandshakeFailed();
      return;
    case Phase::kSwitching:
    case Phase::kIdle:
      return;
  }
}

void SecureTransport::HandshakeFailed() {
  if (redialled_) {
    RefuseNoTls();
    return;
  }
  redialled_ = true;
  // The failed connection's own close comes later and finds a dial.
  phase_ = Phase::kSwitching;
  socket_.Close();
  if (!DialEncrypted()) RefuseNoTls();
}

void SecureTransport::GoUp(bool encrypted) {
  phase_ = Phase::kUp;
  encrypted_ = encrypted;
  events_.connect();
}

void SecureTransport::Refuse(const std::string& cp932Text) {
  phase_ = Phase::kIdle;
  socket_.Close();
  events_.refused(cp932Text);
}

void SecureTransport::RefuseNoTls() {
  if (pinned_) {
    Refuse(
        "以前は暗号化通信で接続したサーバが，今回は暗号化通信に応じませんでした．接続を中止しました．\n"_cp932 +
        "暗号化を外させようとする第三者がいるおそれがあります．パスワードは送っていません．\n\nアドレス: "_cp932 +
        address_ + "\n記録されている鍵の指紋: "_cp932 + expected_ +
        "\n今回: 暗号化通信の提供がありませんでした\n\nサーバが暗号化通信をやめたことを管理者に確かめた場合に限り，"_cp932 +
        FilePlace() + " から "_cp932 + address_ + " の行を削除してから接続し直してください．"_cp932);
    return;
  }
  Refuse(
      "サーバは暗号化通信に対応すると知らせてきましたが，暗号化接続ができませんでした．接続を中止しました．\n"_cp932 +
      "パスワードは送っていません．\n\nアドレス: "_cp932 + address_ + "\n知らされた鍵の指紋: "_cp932 +
      expected_ + "\n今回: 暗号化通信の提供がありませんでした"_cp932);
}

std::string SecureTransport::FilePlace() const { return sjis::FromUtf8Lossy(keys_.path()); }

}  // namespace gorvane
