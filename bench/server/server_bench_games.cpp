// SPDX-License-Identifier: GPL-3.0-or-later
// games: chat round trips with one client, then with 500 players of whom 200
// play 50 seeded games, and the server's CPU per 1,000 messages, each
// printed against the one client's figures of the same run.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "games_load.h"
#include "spine/codec.h"
#include "spine/fields.h"
#include "support/server/dial.h"

namespace gorvane::bench {
namespace {

int Dial(uint16_t port) {
  const int fd = gorvane::testing::DialLoopback(kGamesAddress, port);
  if (fd < 0) {
    std::perror("server_bench: connect");
    std::exit(1);
  }
  return fd;
}

std::string Wire(std::string_view kind, int32_t id, std::string_view argument) {
  std::string wire(kind);
  wire += ' ' + std::to_string(id) + ' ';
  wire += argument;
  wire += '\0';
  return wire;
}

Trips Summary(std::vector<double> trips) {
  std::sort(trips.begin(), trips.end());
  return {trips[trips.size() / 2], trips[std::min(trips.size() - 1, trips.size() * 99 / 100)]};
}

}  // namespace

Prober::Prober(uint16_t port) : fd_(Dial(port)) {
  id_ = gorvane::ParseInt32(Fields(gorvane::SplitCommaText(WaitFor("S_CONNECT,"))).at(1)).value_or(0);
  Send(Wire("G_JOIN", id_, "M"));
  WaitFor("S_GREETING,");
  // A party of one, for party chat that only this client hears.
  Send(Wire("P_CREATE", id_, "*"));
  WaitFor("S_CREATE," + std::to_string(id_) + ",");
}

Prober::~Prober() { close(fd_); }

double Prober::RoundTripMicroseconds(bool lobby, int k) {
  const std::string line = "ping " + std::to_string(k);
  const std::string echo = (lobby ? "S_CHAT M> " : "S_PCHAT M> ") + line;
  const auto start = Clock::now();
  Send(Wire(lobby ? "G_CHAT" : "P_CHAT", id_, line));
  WaitFor(echo, true);
  return Seconds(Clock::now() - start) * 1e6;
}

void Prober::Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

std::string Prober::WaitFor(const std::string& text, bool exactly) {
  for (;;) {
    while (!inbox_.empty()) {
      std::string message = std::move(inbox_.front());
      inbox_.pop_front();
      if (exactly ? message == text : message.starts_with(text)) return message;
    }
    char buffer[65536];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      std::fprintf(stderr, "server_bench: the measuring client lost its connection\n");
      std::exit(1);
    }
    framer_.Feed(std::string_view(buffer, static_cast<size_t>(n)),
                 [&](std::string_view message) { inbox_.emplace_back(message); });
  }
}

Load::Load(uint16_t port, const gorvane::CardCatalogue& cards, const GamesSettings& settings)
    : port_(port), cards_(cards), settings_(settings) {
  thread_ = std::thread([this] { Run(); });
}

Load::~Load() {
  stop_ = true;
  thread_.join();
}

void Load::Send(Client& client, std::string_view kind, std::string_view argument) {
  client.pending += Wire(kind, client.id, argument);
  Flush(client);
}

void Load::Flush(Client& client) {
  while (!client.pending.empty()) {
    const ssize_t n =
        ::send(client.fd, client.pending.data(), client.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    client.pending.erase(0, static_cast<size_t>(n));
  }
}

Clock::duration Load::ChatGap() {
  std::exponential_distribution<double> gap(1.0 / settings_.chatEverySeconds);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(random_)));
}

void Load::Handle(size_t index, std::string_view message) {
  Client& client = clients_[index];
  // Lobby chat is most of what arrives and none of it matters here.
  if (message.starts_with("S_CHAT ")) return;
  if (client.player) client.player->Receive(message);
  const Fields fields = gorvane::SplitCommaText(message);
  if (fields.empty()) return;
  const std::string& kind = fields[0];
  auto number = [&](size_t i) { return i < fields.size() ? gorvane::ParseInt32(fields[i]).value_or(0) : 0; };
  if (kind == "S_CONNECT") {
    client.id = number(1);
    Send(client, "G_JOIN", "L" + std::to_string(index));
  } else if (kind == "S_GREETING" && number(1) == client.id) {
    client.joined = true;
    ++joined_;
    if (client.party && parties_[*client.party].members.front() == index) Send(client, "P_CREATE", "*");
  }
  if (!client.party) return;
  Party& party = parties_[*client.party];
  const bool leader = party.members.front() == index;
  if (kind == "S_CREATE" && leader && number(1) == client.id) {
    party.number = number(2);
  } else if (kind == "S_PJOIN" && number(1) == client.id) {
    // As the client's game window does on opening: the leader's start
    // waits for every member's roster.
    Send(client, "P_LIST", "*");
  } else if (kind == "S_PJOIN" && leader && number(2) == party.number &&
             ++party.joined + 1 == party.members.size()) {
    Send(client, "P_START", "*");
  } else if (kind == "S_FIRSTHAND" && !client.player) {
    std::vector<int32_t> ids;
    for (const size_t member : party.members) ids.push_back(clients_[member].id);
    client.player.emplace(cards_, client.id, ids);
    client.player->Receive(message);
    if (leader) party.started = true;
  } else if (kind == "S_RESULT" && leader) {
    ++games_;
    client.next = Clock::now() + std::chrono::milliseconds(200);
    restart_.push_back(index);
  }
}

void Load::Tick() {
  const auto now = Clock::now();
  for (size_t i = 0; i < clients_.size(); ++i) {
    Client& client = clients_[i];
    if (!client.joined) continue;
    if (!client.party) {
      if (now >= client.next) {
        Send(client, "G_CHAT", "a line of lobby chat " + std::to_string(++chatLines_));
        client.next = now + ChatGap();
      }
      continue;
    }
    Party& party = parties_[*client.party];
    if (!client.sentJoin && party.number != 0 && party.members.front() != i) {
      Send(client, "P_JOIN", std::to_string(party.number));
      client.sentJoin = true;
    }
    if (client.player && now >= client.next) {
      if (auto move = client.player->NextMove()) {
        Send(client, move->kind, move->argument);
        ++moves_;
        client.next = now + std::chrono::milliseconds(settings_.thinkMs);
      }
    }
    if (!client.pending.empty()) Flush(client);
  }
  std::erase_if(restart_, [&](size_t index) {
    if (now < clients_[index].next) return false;
    Send(clients_[index], "P_START", "*");
    return true;
  });
  bool all = true;
  for (const Party& party : parties_) all = all && party.started;
  if (all) ready_ = true;
}

void Load::Run() {
  // The simulated players stand for other machines: at the lowest CPU
  // priority their own work yields to the server and the measuring client.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
  const size_t count = static_cast<size_t>(settings_.players - 1);
  clients_ = std::vector<Client>(count);
  parties_.resize(static_cast<size_t>(settings_.parties));
  for (size_t p = 0; p < parties_.size(); ++p) {
    for (int m = 0; m < settings_.partySize; ++m) {
      const size_t index = p * static_cast<size_t>(settings_.partySize) + static_cast<size_t>(m);
      parties_[p].members.push_back(index);
      clients_[index].party = p;
    }
  }
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    clients_[i].fd = Dial(port_);
    clients_[i].next = clients_[i].party ? start : start + ChatGap();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, clients_[i].fd, &event);
  }
  std::vector<epoll_event> events(512);
  char buffer[65536];
  while (!stop_) {
    const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 2);
    for (int e = 0; e < n; ++e) {
      const size_t index = events[static_cast<size_t>(e)].data.u64;
      Client& client = clients_[index];
      const ssize_t got = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) continue;
      // A lobby player that has joined only ever hears chat.
      if (client.joined && !client.party) continue;
      client.framer.Feed(std::string_view(buffer, static_cast<size_t>(got)),
                         [&](std::string_view message) { Handle(index, message); });
    }
    Tick();
  }
  for (Client& client : clients_) close(client.fd);
  close(epoll);
}

Measured Probe(const ServerThread& server, Prober& prober, const GamesSettings& settings) {
  std::vector<double> lobby;
  std::vector<double> party;
  const double cpu = server.CpuSeconds();
  const uint64_t messages = server.Messages();
  const auto start = Clock::now();
  for (int k = 0; k < settings.samples; ++k) {
    (k % 2 == 0 ? lobby : party).push_back(prober.RoundTripMicroseconds(k % 2 == 0, k));
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(settings.spacingMs));
  }
  Measured measured;
  measured.seconds = Seconds(Clock::now() - start);
  const double handled = static_cast<double>(server.Messages() - messages);
  measured.lobby = Summary(lobby);
  measured.lobbyTrips = std::move(lobby);
  measured.party = Summary(party);
  measured.cpuPerThousand = (server.CpuSeconds() - cpu) * 1e3 / handled * 1000;
  measured.messagesPerSecond = handled / measured.seconds;
  return measured;
}

gorvane::server::ServerOptions GamesOptions(const GamesSettings& settings) {
  gorvane::server::ServerOptions options;
  options.listenAddress = kGamesAddress;
  options.port = 0;
  options.databasePath = ":memory:";
  options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
  options.maxUsers = static_cast<size_t>(settings.players) + 8;
  options.seed = 1;
  // This part measures throughput, not the defences: one client times a
  // line every 20 ms, and all 500 come from one address.
  options.chat = {1000000, 1000000000};
  options.broadcasts = {1000000, 0};
  options.maxPerAddress = 1000000;
  // The 499 connect all at once before any of them reads its greeting.
  options.maxUnjoined = 1000000;
  options.log = [](std::string_view) {};
  return options;
}

void RunGames(const GamesSettings& settings) {
  ServerThread server(GamesOptions(settings));
  const gorvane::CardCatalogue cards = Cards();

  Prober prober(server.port());
  const Measured alone = Probe(server, prober, settings);
  auto print = [&](const char* what, const Measured& measured) {
    std::printf("server_bench: lobby chat round trip, %s: median %.1f us, p99 %.1f us (%d lines)\n", what,
                measured.lobby.median, measured.lobby.p99, settings.samples / 2);
    std::printf("server_bench: party chat round trip, %s: median %.1f us, p99 %.1f us (%d lines)\n", what,
                measured.party.median, measured.party.p99, settings.samples / 2);
  };
  print("1 client", alone);

  Load load(server.port(), cards, settings);
  while (!load.ready()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t chat = load.chatLines();
  const uint64_t moves = load.moves();
  const uint64_t games = load.games();
  const Measured loaded = Probe(server, prober, settings);
  const std::string players =
      std::to_string(settings.players) + " players and " + std::to_string(settings.parties) + " games";
  print(players.c_str(), loaded);
  std::printf(
      "server_bench: load: %.1f lobby chat lines/s to %d players, %.0f game moves/s, %llu games finished, "
      "%.0f server messages/s\n",
      static_cast<double>(load.chatLines() - chat) / loaded.seconds, settings.players,
      static_cast<double>(load.moves() - moves) / loaded.seconds,
      static_cast<unsigned long long>(load.games() - games), loaded.messagesPerSecond);
  std::printf("server_bench: loaded / 1 client, lobby chat: median %.2fx, p99 %.2fx (goal p99 <= 3x)\n",
              loaded.lobby.median / alone.lobby.median, loaded.lobby.p99 / alone.lobby.p99);
  std::printf("server_bench: loaded / 1 client, party chat: median %.2fx, p99 %.2fx\n",
              loaded.party.median / alone.party.median, loaded.party.p99 / alone.party.p99);
  std::printf("server_bench: server CPU per 1,000 messages: 1 client %.2f ms, loaded %.2f ms\n",
              alone.cpuPerThousand, loaded.cpuPerThousand);
}

}  // namespace gorvane::bench
