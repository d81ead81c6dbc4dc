// SPDX-License-Identifier: GPL-3.0-or-later
// How the lobby speaks: everything it says goes out through an Outbox, so
// it runs the same over the server's sockets and in a test. A message that
// goes to many users is framed once and shared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace gorvane::server {

// A message with its NUL terminator, shared by every queue it goes into.
using Framed = std::shared_ptr<const std::string>;
inline Framed Frame(std::string_view message) {
  auto framed = std::make_shared<std::string>();
  framed->reserve(message.size() + 1);
  framed->append(message);
  framed->push_back('\0');
  return framed;
}

// The lists a client asks for again and again: a newer copy of one replaces
// a copy that has not begun to go out, rather than queue behind it.
enum class ListSlot { kNone, kUsers, kParties };

using LogSink = std::function<void(std::string_view)>;

class Outbox {
 public:
  virtual ~Outbox() = default;
  // One message, without its terminator.
  virtual void Send(int32_t user, std::string_view message) = 0;
  // A message framed once for many users; a list in its slot.
  virtual void SendFramed(int32_t user, const Framed& message, ListSlot slot) = 0;
  // Ends the user's connection once what was sent to it has gone out.
  virtual void Close(int32_t user, std::string_view why) = 0;
  // Ends the user's connection at once, as if it were lost.
  virtual void Cut(int32_t user, std::string_view why) = 0;
  // Checks a login; the answer comes to Lobby::LoginAnswered, and nothing
  // more the user sends is handled until then. With mayRegister, an unknown
  // login is created with the password (self-registration).
  virtual void CheckLogin(int32_t user, const std::string& login, const std::string& password,
                          bool mayRegister) = 0;
  // Work the loop must not wait for (a database read); its reply runs back
  // on the loop. Here, for want of a worker, at once.
  virtual void OffLoop(std::function<std::function<void()>()> job) {
    if (auto reply = job()) reply();
  }
};

}  // namespace gorvane::server
