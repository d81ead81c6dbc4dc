// SPDX-License-Identifier: GPL-3.0-or-later
// The narrow interfaces through which the logic reaches the outside world.
// The Qt windows implement them; tests replace them with fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gorvane {

struct Rgb {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct LocalTime {
  int hour = 0;
  int minute = 0;
  int second = 0;
  friend bool operator==(const LocalTime&, const LocalTime&) = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

// A rich-text console: adds one line in one colour and scrolls to it.
class ConsoleView {
 public:
  virtual ~ConsoleView() = default;
  virtual void AddLine(std::string_view cp932Line, Rgb colour) = 0;
};

// The plain debug log under the lobby console.
class DebugLog {
 public:
  virtual ~DebugLog() = default;
  virtual void AppendLine(std::string_view cp932Line) = 0;
  // Lines written together, in order: a view may lay them out in one go.
  virtual void AppendLines(const std::vector<std::string>& cp932Lines) {
    for (const std::string& line : cp932Lines) AppendLine(line);
  }
};

// The modal error box with one OK button; returns when it is closed.
class ErrorBox {
 public:
  virtual ~ErrorBox() = default;
  virtual void ShowError(std::string_view cp932Text) = 0;
};

// Kinds of socket error events.
enum class SocketErrorKind { kGeneral, kSend, kReceive, kConnect, kDisconnect, kAccept, kLookup };

// What a transport did with a server's offer of TLS (S_TLS) that reached the
// lobby, i.e. came after the greeting had been handled in plain.
enum class TlsOffer {
  kUnknown,    // the transport speaks plain only: the message means nothing to it
  kNoted,      // this connection stays; the transport has told the player why
  kSwitching,  // this connection is dropped for an encrypted one
};

// The client socket. active: on from the connect event to the disconnect
// event; connected: the underlying connection is up.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual bool active() const = 0;
  virtual bool connected() const = 0;
  // Begins an asynchronous connect; false when it cannot even start.
  virtual bool Start(const std::string& address, uint16_t port) = 0;
  virtual void Close() = 0;
  virtual void Send(std::string_view bytes) = 0;
  virtual TlsOffer OfferTls(std::string_view /*fingerprint*/) { return TlsOffer::kUnknown; }
};

// The one way anything is sent to the server.
class CommandSink {
 public:
  virtual ~CommandSink() = default;
  virtual void SendCommand(std::string_view kind, std::string_view argument) = 0;
};

// The blocking pause between list requests and before closing at exit.
class Pause {
 public:
  virtual ~Pause() = default;
  virtual void Wait(int milliseconds) = 0;
};

}  // namespace gorvane
