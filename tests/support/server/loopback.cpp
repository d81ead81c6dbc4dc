// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/server/loopback.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/ports.h"
#include "support/server/dial.h"
#include "support/server/scripted_player.h"

namespace gorvane::testing {

// Not the shipped deck: stacked decks name cards by number, and seeded
// games count on what each seed deals, so the tests keep a deck of their
// own that tuning the shipped one leaves alone.
std::string CardListPath() { return GORVANE_RULES_DECK; }

void LoadCards(CardCatalogue& cards) {
  struct Report : ErrorBox, DebugLog {
    void ShowError(std::string_view text) override { throw std::runtime_error(std::string(text)); }
    void AppendLine(std::string_view) override {}
  } report;
  cards.LoadCardList(CardListPath(), report, report);
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(const std::string& address, uint16_t port, const std::string& source,
                        int receiveBuffer) {
  fd_ = DialLoopback(address, port, {.source = source, .receiveBuffer = receiveBuffer});
  return fd_ >= 0;
}

void RawClient::SendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

size_t RawClient::SendSome(std::string_view bytes) {
  const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

void RawClient::Command(std::string_view kind, std::string_view argument) {
  std::string wire(kind);
  wire += ' ' + std::to_string(id) + ' ';
  wire += argument;
  wire += '\0';
  SendRaw(wire);
}

bool RawClient::Poll() {
  if (fd_ < 0 || closed) return false;
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      framer_.Feed(std::string_view(buffer.data(), static_cast<size_t>(n)), [&](std::string_view text) {
        if (text.starts_with("S_CONNECT,")) id = ParseInt32(SplitCommaText(text).at(1)).value_or(0);
        inbox.emplace_back(text);
      });
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closed = true;
    return !closed;
  }
}

void RawClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<std::string> Drain(RawClient& client) {
  std::vector<std::string> messages(client.inbox.begin(), client.inbox.end());
  client.inbox.clear();
  return messages;
}

Harness::Harness(std::string address, std::string database,
                 const std::function<void(server::ServerOptions&)>& adjust)
    : address_(std::move(address)) {
  server::ServerOptions options;
  options.listenAddress = address_;
  options.port = 0;
  options.databasePath = std::move(database);
  options.cardsPath = CardListPath();
  options.seed = 7;
  options.log = [this](std::string_view line) { log_.emplace_back(line); };
  if (adjust) adjust(options);
  server_ = std::make_unique<server::Server>(options);
  std::string error;
  if (!server_->Start(error)) throw std::runtime_error(error);
}

Harness::~Harness() = default;

void Generous(server::ServerOptions& options) {
  options.chat = {100000, 100000000};
  options.broadcasts = {100000, 0};
  options.commands = {100000000, 0};
}

std::unique_ptr<RawClient> Harness::Connect(std::string_view name, const std::string& source) {
  auto client = std::make_unique<RawClient>();
  // 127.0.0.x serves; its clients come from 127.x.0.1, 127.x.0.2, ...
  const std::string own =
      source.empty() ? "127." + address_.substr(address_.rfind('.') + 1) + ".0." + std::to_string(++sources_)
                     : source;
  if (!client->Connect(address_, server_->port(), own)) return nullptr;
  RunUntil({client.get()}, [&] { return client->id != 0; });
  if (!name.empty()) {
    client->Command("G_JOIN", name);
    RunUntil({client.get()}, [&] { return client->inbox.size() >= 2; });
  }
  client->inbox.clear();
  return client;
}

void Harness::Settle(const std::vector<RawClient*>& clients) {
  // Loopback hands every byte over within the send, so a round with no
  // event on the server and nothing new at the clients is the end.
  int quiet = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (quiet < 3 && std::chrono::steady_clock::now() < deadline) {
    size_t before = 0;
    for (RawClient* client : clients) before += client->inbox.size();
    const int events = server_->RunOnce(1);
    size_t after = 0;
    for (RawClient* client : clients) {
      client->Poll();
      after += client->inbox.size();
    }
    quiet = events == 0 && after == before && server_->Quiet() ? quiet + 1 : 0;
  }
}

std::vector<std::vector<std::string>> Harness::Received(const std::vector<RawClient*>& clients) {
  Settle(clients);
  std::vector<std::vector<std::string>> received;
  for (RawClient* client : clients) received.push_back(Drain(*client));
  return received;
}

std::vector<std::string> Harness::NewLog() {
  std::vector<std::string> lines(log_.begin() + static_cast<std::ptrdiff_t>(logSeen_), log_.end());
  logSeen_ = log_.size();
  return lines;
}

std::optional<Heard> PlayOut(const std::vector<RawClient*>& clients, const CardCatalogue& cards,
                             const Pump& pump) {
  std::vector<int32_t> ids;
  for (RawClient* client : clients) ids.push_back(client->id);
  std::map<int32_t, ScriptedPlayer> players;
  for (const int32_t id : ids) players.emplace(id, ScriptedPlayer(cards, id, ids));
  Heard heard;
  const bool finished = pump(
      [&] {
        for (RawClient* client : clients) {
          ScriptedPlayer& player = players.at(client->id);
          for (std::string& message : Drain(*client)) {
            player.Receive(message);
            heard[client->id].push_back(std::move(message));
          }
          if (auto move = player.NextMove()) client->Command(move->kind, move->argument);
        }
        return std::all_of(players.begin(), players.end(),
                           [](const auto& p) { return p.second.result().has_value(); });
      },
      std::chrono::seconds(20));
  if (!finished) return std::nullopt;
  return heard;
}

std::optional<Heard> PlayOut(Harness& harness, const std::vector<RawClient*>& clients,
                             const CardCatalogue& cards) {
  return PlayOut(clients, cards, [&](const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return harness.RunUntil(clients, done, limit);
  });
}

Pump ClientsOnly(const std::vector<RawClient*>& clients) {
  return [clients](const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (RawClient* client : clients) client->Poll();
    }
    return true;
  };
}

void Harness::Push(RawClient& client, std::string_view bytes, const std::vector<RawClient*>& others) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!bytes.empty() && std::chrono::steady_clock::now() < deadline) {
    bytes.remove_prefix(client.SendSome(bytes));
    server_->RunOnce(1);
    for (RawClient* other : others) other->Poll();
    if (!client.Poll()) return;
  }
}

bool Harness::RunUntil(const std::vector<RawClient*>& clients, const std::function<bool()>& done,
                       std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    server_->RunOnce(1);
    for (RawClient* client : clients) client->Poll();
  }
  return true;
}

}  // namespace gorvane::testing
