// The game server under load, in three parts, each printed as figures and
// ratios measured in the same run:
//
// games:    chat round trips with one client, then with 500 players of whom
//           200 play 50 seeded games; server CPU per 1,000 messages.
// capacity: joined users the server holds with the lobby chat round trip's
//           99th percentile at most 100 ms while the users behave as the
//           client does (they read everything, ask for the user list again
//           on every arrival and departure, a tenth plays in parties of
//           three, 1% leave and as many arrive every minute) and the lobby
//           carries 5 chat lines a second. Grows step by step until it
//           breaks and says where and why.
// attacks:  each attack at full speed from one address, and its effect on
//           well-behaved users from other addresses: their lobby chat round
//           trip and a newcomer's way in, against an idle server.
//
// The server runs on its own thread, the simulated users on others in this
// process, each machine from an address of its own in 127.0.0.0/8.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "spine/codec.h"
#include "spine/fields.h"
#include "spine/framing.h"
#include "scripted_player.h"
#include "server/server.h"
#include "sim_users.h"

namespace {

using Clock = std::chrono::steady_clock;
using gorvane::Fields;
using gorvane::MessageFramer;

constexpr const char* kAddress = "127.0.0.30";

struct Settings {
  int samples = 2000;       // lobby and party lines by turns
  double spacingMs = 20.0;  // between one echo and the next line
  int players = 500;        // connected, the measuring client included
  int parties = 50;
  int partySize = 4;
  double chatEverySeconds = 30;  // per lobby player, on average
  int thinkMs = 250;             // a scripted player's pause before each move
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void RaiseFileLimit(rlim_t need) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur >= need) return;
  limit.rlim_cur = std::min(need, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

int Dial(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, kAddress, &to.sin_addr);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    std::perror("server_bench: connect");
    std::exit(1);
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string Wire(std::string_view kind, int32_t id, std::string_view argument) {
  std::string wire(kind);
  wire += ' ' + std::to_string(id) + ' ';
  wire += argument;
  wire += '\0';
  return wire;
}

// The server on its own thread, with the CPU clock of that thread.
class ServerThread {
 public:
  explicit ServerThread(gorvane::server::ServerOptions options) : server_(std::move(options)) {
    std::string error;
    if (!server_.Start(error)) {
      std::fprintf(stderr, "server_bench: %s\n", error.c_str());
      std::exit(1);
    }
    thread_ = std::thread([this] { server_.Run(); });
    pthread_getcpuclockid(thread_.native_handle(), &cpu_);
  }
  ~ServerThread() {
    server_.Stop();
    thread_.join();
  }
  double CpuSeconds() const {
    timespec t{};
    clock_gettime(cpu_, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  uint64_t Messages() const {
    const auto counters = server_.counters();
    return counters.messagesIn + counters.messagesOut;
  }
  uint16_t port() const { return server_.port(); }
  uint64_t BytesOut() const { return server_.counters().bytesOut; }

 private:
  gorvane::server::Server server_;
  std::thread thread_;
  clockid_t cpu_{};
};

// The measuring client: one line out, wait for its own echo.
class Prober {
 public:
  explicit Prober(uint16_t port) : fd_(Dial(port)) {
    id_ = gorvane::ParseInt32(Fields(gorvane::SplitCommaText(WaitFor("S_CONNECT,"))).at(1)).value_or(0);
    Send(Wire("G_JOIN", id_, "M"));
    WaitFor("S_GREETING,");
    // A party of one, for party chat that only this client hears.
    Send(Wire("P_CREATE", id_, "*"));
    WaitFor("S_CREATE," + std::to_string(id_) + ",");
  }
  ~Prober() { close(fd_); }

  // A lobby chat line goes to every player; a party chat line here only
  // comes back.
  double RoundTripMicroseconds(bool lobby, int k) {
    const std::string line = "ping " + std::to_string(k);
    const std::string echo = (lobby ? "S_CHAT M> " : "S_PCHAT M> ") + line;
    const auto start = Clock::now();
    Send(Wire(lobby ? "G_CHAT" : "P_CHAT", id_, line));
    WaitFor(echo, true);
    return Seconds(Clock::now() - start) * 1e6;
  }

 private:
  void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // The first message that starts with (or, exactly, is) the text; others
  // are read past.
  std::string WaitFor(const std::string& text, bool exactly = false) {
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

  int fd_;
  int32_t id_ = 0;
  MessageFramer framer_;
  std::deque<std::string> inbox_;
};

// Everybody else, on one thread: lobby players who chat now and then, and
// parties of scripted players who play game after game.
class Load {
 public:
  Load(uint16_t port, const gorvane::CardCatalogue& cards, const Settings& settings)
      : port_(port), cards_(cards), settings_(settings) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Load() {
    stop_ = true;
    thread_.join();
  }
  bool ready() const { return ready_; }
  uint64_t chatLines() const { return chatLines_; }
  uint64_t moves() const { return moves_; }
  uint64_t games() const { return games_; }

 private:
  struct Party {
    int32_t number = 0;
    size_t joined = 0;
    std::vector<size_t> members;  // client indices, the leader first
    bool started = false;
  };
  struct Client {
    int fd = -1;
    int32_t id = 0;
    bool joined = false;
    MessageFramer framer;
    std::string pending;
    std::optional<size_t> party;
    bool sentJoin = false;
    std::optional<gorvane::testing::ScriptedPlayer> player;
    Clock::time_point next{};  // next chat line, next move or the next game
  };

  void Send(Client& client, std::string_view kind, std::string_view argument) {
    client.pending += Wire(kind, client.id, argument);
    Flush(client);
  }
  static void Flush(Client& client) {
    while (!client.pending.empty()) {
      const ssize_t n =
          ::send(client.fd, client.pending.data(), client.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return;
      client.pending.erase(0, static_cast<size_t>(n));
    }
  }
  Clock::duration ChatGap() {
    std::exponential_distribution<double> gap(1.0 / settings_.chatEverySeconds);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(random_)));
  }

  void Handle(size_t index, std::string_view message) {
    Client& client = clients_[index];
    // Lobby chat is most of what arrives and none of it matters here.
    if (message.starts_with("S_CHAT ")) return;
    if (client.player) client.player->Receive(message);
    const Fields fields = gorvane::SplitCommaText(message);
    if (fields.empty()) return;
    const std::string& kind = fields[0];
    auto number = [&](size_t i) {
      return i < fields.size() ? gorvane::ParseInt32(fields[i]).value_or(0) : 0;
    };
    if (kind == "S_CONNECT") {
      client.id = number(1);
      Send(client, "G_JOIN", "L" + std::to_string(index));
    } else if (kind == "S_GREETING" && number(1) == client.id) {
      client.joined = true;
      if (client.party && parties_[*client.party].members.front() == index) Send(client, "P_CREATE", "*");
    }
    if (!client.party) return;
    Party& party = parties_[*client.party];
    const bool leader = party.members.front() == index;
    if (kind == "S_CREATE" && leader && number(1) == client.id) {
      party.number = number(2);
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

  void Tick() {
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

  void Run() {
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

  uint16_t port_;
  const gorvane::CardCatalogue& cards_;
  Settings settings_;
  std::mt19937 random_{5};
  std::vector<Client> clients_;
  std::vector<Party> parties_;
  std::vector<size_t> restart_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  std::atomic<uint64_t> chatLines_{0};
  std::atomic<uint64_t> moves_{0};
  std::atomic<uint64_t> games_{0};
  std::thread thread_;
};

struct Trips {
  double median = 0;
  double p99 = 0;
};

Trips Summary(std::vector<double> trips) {
  std::sort(trips.begin(), trips.end());
  return {trips[trips.size() / 2], trips[std::min(trips.size() - 1, trips.size() * 99 / 100)]};
}

struct Measured {
  Trips lobby;
  Trips party;
  double cpuPerThousand = 0;  // ms of server CPU per 1,000 messages in and out
  double messagesPerSecond = 0;
  double seconds = 0;
};

// Lobby and party lines by turns, so that both meet the same conditions.
Measured Probe(const ServerThread& server, Prober& prober, const Settings& settings) {
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
  measured.party = Summary(party);
  measured.cpuPerThousand = (server.CpuSeconds() - cpu) * 1e3 / handled * 1000;
  measured.messagesPerSecond = handled / measured.seconds;
  return measured;
}

}  // namespace

gorvane::CardCatalogue Cards() {
  struct Quiet : gorvane::ErrorBox, gorvane::DebugLog {
    void ShowError(std::string_view) override {}
    void AppendLine(std::string_view) override {}
  } quiet;
  gorvane::CardCatalogue cards;
  cards.LoadCardList(std::string(GORVANE_DATA_DIR) + "/longcardlist.txt", quiet, quiet);
  return cards;
}

// What else the machine is doing, to read the numbers by.
std::string LoadAverage() {
  char text[64] = {};
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (!std::fgets(text, sizeof text, file)) text[0] = 0;
    std::fclose(file);
  }
  std::string average(text);
  return average.substr(0, average.find(' '));
}

void RunGames(const Settings& settings) {
  gorvane::server::ServerOptions options;
  options.listenAddress = kAddress;
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
  ServerThread server(options);
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

namespace sim = gorvane::bench;
using namespace std::chrono_literals;

constexpr const char* kDefendedAddress = "127.0.0.31";

// A server with the defences as shipped, and a tally of what it logged.
struct DefendedServer {
  explicit DefendedServer(size_t maxUsers) {
    gorvane::server::ServerOptions options;
    options.listenAddress = kDefendedAddress;
    options.port = 0;
    options.databasePath = ":memory:";
    options.cardsPath = std::string(GORVANE_DATA_DIR) + "/longcardlist.txt";
    options.maxUsers = maxUsers;
    options.seed = 1;
    options.log = [this](std::string_view line) {
      if (line.find("stopped reading") != std::string_view::npos) ++readersDropped;
      if (line.find("cut off") != std::string_view::npos) ++cutOff;
    };
    server.emplace(options);
  }
  std::atomic<uint64_t> readersDropped{0};
  std::atomic<uint64_t> cutOff{0};
  std::optional<ServerThread> server;
};

void Wait(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
}

struct CapacitySettings {
  std::vector<size_t> steps = {1000, 2000, 3000, 4000, 5000};
  int warmSeconds = 10;
  int measureSeconds = 45;
  size_t probes = 60;
};

void RunCapacity(const CapacitySettings& settings) {
  std::printf("\nserver_bench capacity: lobby chat round trip while the users behave as the client does\n");
  std::printf(
      "  (%zu of the users time their own lobby line in turn, 5 lines a second; a tenth play in parties\n"
      "  of three; 1%% of the others leave and as many arrive every minute; goal p99 <= 100 ms)\n",
      settings.probes);
  std::printf("  %6s %9s %9s %8s %9s %10s %9s %7s %6s %5s\n", "users", "p50 ms", "p99 ms", "srv CPU",
              "srv MB/s", "lists/s", "read/ask", "left", "games", "lost");
  const gorvane::CardCatalogue cards = Cards();
  DefendedServer defended(100000);
  ServerThread& server = *defended.server;
  sim::Crowd crowd(kDefendedAddress, server.port(), cards, {});
  crowd.Begin(true);
  sim::Probes probes(kDefendedAddress, server.port(), settings.probes, 200ms);
  probes.Begin(false);
  Wait([&] { return probes.ready(); }, 30s);
  std::optional<size_t> held;
  for (const size_t users : settings.steps) {
    // The crowd arrives quietly; then everybody behaves as the client does.
    crowd.Behave(false, false);
    const size_t crowdSize = users - settings.probes;
    crowd.GrowTo(crowdSize);
    Wait([&] { return crowd.joined() + 16 >= crowdSize; }, 300s);
    crowd.Behave(true, true);
    std::this_thread::sleep_for(std::chrono::seconds(settings.warmSeconds));
    probes.Take();
    const double cpu = server.CpuSeconds();
    const uint64_t bytes = server.BytesOut();
    const uint64_t asked = crowd.listsAsked();
    const uint64_t read = crowd.listsRead();
    const uint64_t left = crowd.departures();
    const uint64_t games = crowd.games();
    const size_t lost = crowd.lost() + probes.lost();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(settings.measureSeconds));
    const double seconds = Seconds(Clock::now() - start);
    const sim::Percentiles trips = sim::Summarize(probes.Take());
    const double askedPerSecond = static_cast<double>(crowd.listsAsked() - asked) / seconds;
    const double readShare = static_cast<double>(crowd.listsRead() - read) /
                             std::max(1.0, static_cast<double>(crowd.listsAsked() - asked));
    std::printf("  %6zu %9.1f %9.1f %7.0f%% %9.1f %10.0f %8.2f %7llu %6llu %5zu   (load %s)\n",
                crowd.joined() + settings.probes, trips.median, trips.p99,
                100 * (server.CpuSeconds() - cpu) / seconds,
                static_cast<double>(server.BytesOut() - bytes) / seconds / 1e6, askedPerSecond, readShare,
                static_cast<unsigned long long>(crowd.departures() - left),
                static_cast<unsigned long long>(crowd.games() - games), crowd.lost() + probes.lost() - lost,
                LoadAverage().c_str());
    std::fflush(stdout);
    if (trips.p99 > 100.0) {
      std::printf("server_bench capacity: breaks at %zu users (p99 %.1f ms > 100 ms); held %s\n", users,
                  trips.p99, held ? std::to_string(*held).c_str() : "no step");
      break;
    }
    held = users;
  }
  if (held && *held == settings.steps.back()) {
    std::printf("server_bench capacity: held every step up to %zu users\n", *held);
  }
  std::printf("server_bench capacity: readers dropped for not reading: %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()));
  probes.End();
  crowd.End();
}

struct AttackSettings {
  size_t crowd = 200;
  size_t probes = 60;
  // 40 lines a second: each probe sends one every 1.5 s, within the chat
  // limit, and a 15 s window holds 600 round trips.
  std::chrono::milliseconds every{25};
  int warmSeconds = 3;
  int measureSeconds = 15;
};

void RunAttacks(const AttackSettings& settings) {
  std::printf("\nserver_bench attacks: each at full speed from one address; well-behaved users elsewhere\n");
  std::printf(
      "  (%zu users behaving as the client does, %zu of them timing their lobby lines, %.0f lines a\n"
      "  second, a newcomer joining every 500 ms; goal: p99 of the round trip at most 2x the idle "
      "server's)\n",
      settings.crowd + settings.probes, settings.probes,
      1000.0 / static_cast<double>(settings.every.count()));
  std::printf("  %-32s %8s %8s %7s %9s %9s %5s %9s %8s %9s\n", "attack", "p50 ms", "p99 ms", "p99 x",
              "join p50", "join p99", "lost", "connects", "let in", "got MB/s");
  const gorvane::CardCatalogue cards = Cards();
  DefendedServer defended(10000);
  ServerThread& server = *defended.server;
  sim::CrowdSettings crowdSettings;
  crowdSettings.leavePerMinute = 0;
  sim::Crowd crowd(kDefendedAddress, server.port(), cards, crowdSettings);
  crowd.Begin(true);
  crowd.GrowTo(settings.crowd);
  Wait([&] { return crowd.joined() >= settings.crowd; }, 60s);
  crowd.Behave(true, false);
  sim::Probes probes(kDefendedAddress, server.port(), settings.probes, settings.every);
  probes.Begin(false);
  Wait([&] { return probes.ready(); }, 30s);
  sim::Newcomers newcomers(kDefendedAddress, server.port(), 500ms);
  newcomers.Begin(false);

  double idleP99 = 0;
  auto phase = [&](const char* name, std::optional<sim::Attacker::Kind> kind) {
    std::optional<sim::Attacker> attacker;
    if (kind) {
      attacker.emplace(kDefendedAddress, server.port(), *kind);
      attacker->Begin(true);
    }
    std::this_thread::sleep_for(std::chrono::seconds(settings.warmSeconds));
    probes.Take();
    newcomers.Take();
    const size_t lost = crowd.lost() + probes.lost();
    const uint64_t got = attacker ? attacker->bytesRead() : 0;
    std::this_thread::sleep_for(std::chrono::seconds(settings.measureSeconds));
    const sim::Percentiles trips = sim::Summarize(probes.Take());
    const sim::Percentiles joins = sim::Summarize(newcomers.Take());
    if (!kind && idleP99 == 0) idleP99 = trips.p99;
    std::printf(
        "  %-32s %8.2f %8.2f %6.2fx %9.2f %9.2f %5zu %9llu %8llu %9.2f\n", name, trips.median, trips.p99,
        idleP99 > 0 ? trips.p99 / idleP99 : 0.0, joins.median, joins.p99, crowd.lost() + probes.lost() - lost,
        static_cast<unsigned long long>(attacker ? attacker->connects() : 0),
        static_cast<unsigned long long>(attacker ? attacker->admitted() : 0),
        attacker ? static_cast<double>(attacker->bytesRead() - got) / settings.measureSeconds / 1e6 : 0.0);
    std::fflush(stdout);
    if (attacker) attacker->End();
    // Let what the attack left behind (closing sockets, held answers) go.
    std::this_thread::sleep_for(2s);
  };
  phase("(idle server)", std::nullopt);
  for (const auto kind :
       {sim::Attacker::Kind::kIdleSockets, sim::Attacker::Kind::kWrongPasswords,
        sim::Attacker::Kind::kPartyCreates, sim::Attacker::Kind::kRenames, sim::Attacker::Kind::kChat,
        sim::Attacker::Kind::kLongChat, sim::Attacker::Kind::kSilentAsker, sim::Attacker::Kind::kLists}) {
    phase(sim::Attacker::Name(kind), kind);
  }
  phase("(idle server again)", std::nullopt);
  std::printf(
      "  (connects: connections the attacker opened, let in: those the server greeted; MB/s: what the\n"
      "  attacker was sent; lost: well-behaved users that lost their connection; join: a newcomer's connect\n"
      "  to its greeting, ms)\n");
  std::printf("server_bench attacks: readers dropped for not reading %llu, connections cut off %llu\n",
              static_cast<unsigned long long>(defended.readersDropped.load()),
              static_cast<unsigned long long>(defended.cutOff.load()));
  newcomers.End();
  probes.End();
  crowd.End();
}

std::vector<size_t> Steps(const std::string& text) {
  std::vector<size_t> steps;
  for (size_t start = 0; start < text.size();) {
    const size_t comma = text.find(',', start);
    steps.push_back(std::stoul(text.substr(start, comma - start)));
    start = comma == std::string::npos ? text.size() : comma + 1;
  }
  return steps;
}

int main(int argc, char** argv) {
  Settings games;
  CapacitySettings capacity;
  AttackSettings attacks;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string text = argv[i + 1];
    const double value = std::atof(text.c_str());
    if (option == "--only") only = text;
    if (option == "--samples") games.samples = static_cast<int>(value);
    if (option == "--chat-every") games.chatEverySeconds = value;
    if (option == "--think") games.thinkMs = static_cast<int>(value);
    if (option == "--spacing") games.spacingMs = value;
    if (option == "--steps") capacity.steps = Steps(text);
    if (option == "--step-seconds") capacity.measureSeconds = static_cast<int>(value);
    if (option == "--attack-seconds") attacks.measureSeconds = static_cast<int>(value);
  }
  const size_t most =
      std::max(static_cast<size_t>(games.players),
               capacity.steps.empty() ? 0 : *std::max_element(capacity.steps.begin(), capacity.steps.end()));
  RaiseFileLimit(static_cast<rlim_t>(most) * 2 + 1024);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  std::printf("server_bench: %u cores, load average %s before the run\n", std::thread::hardware_concurrency(),
              LoadAverage().c_str());
  if (only.empty() || only == "games") RunGames(games);
  if (only.empty() || only == "capacity") RunCapacity(capacity);
  if (only.empty() || only == "attacks") RunAttacks(attacks);
  return 0;
}
