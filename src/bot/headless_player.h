// SPDX-License-Identifier: GPL-3.0-or-later
// A client without windows: the client's own lobby and game room logic
// behind a socket of its own, with views that draw nothing and a planner in
// the user's chair. It connects, finds or makes a party and plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bot/answer_wait.h"
#include "bot/headless_ports.h"
#include "bot/posix_transport.h"
#include "bot/start_gate.h"
#include "bot/strength.h"
#include "bot/turn_planner.h"
#include "client/game_room.h"
#include "client/lobby.h"
#include "spine/system_clock.h"

namespace gorvane::bot {

enum class Mode { kCreate, kJoin, kJoinAny };

// A few seconds: enough to read the party window after joining, or to
// leave it, and short enough that the others hardly notice the wait.
inline constexpr std::chrono::milliseconds kDefaultStartAfter{std::chrono::seconds(5)};

struct PlayerOptions {
  std::string host = "127.0.0.1";
  std::optional<uint16_t> port;  // nothing: the client's own port
  std::string name;              // code page 932
  // The account the player logs in to after joining, as the client does;
  // "guest": none. Both code page 932.
  std::string login = "guest";
  std::string password = "******";
  Mode mode = Mode::kJoinAny;
  int32_t party = 0;  // the party to join with kJoin
  std::string cardListPath = std::string(kCardListFile);
  // The lobby's 300 ms pauses, as the client takes them; off for tests.
  bool pauses = true;
  // A creator starts a game once the party has this many members and its
  // member list has not changed for startAfter, and starts at most
  // gamesToStart games (nothing: no limit). The wait lets someone who has
  // just joined see the party before the game begins; off for tests.
  size_t playersToStart = 3;
  std::chrono::milliseconds startAfter = kDefaultStartAfter;
  std::optional<int> gamesToStart;
  // An answer that has not come in this long is given up on.
  std::chrono::milliseconds answerPatience{10000};
  // How well it plays (strength.h) and whether it waits a moment before
  // each click for a person to follow; the seed of its chance, nothing:
  // one from its name.
  int strength = kDefaultStrength;
  bool think = false;
  std::optional<uint32_t> seed;
};

class HeadlessPlayer : private LobbyView {
 public:
  // A console or error-box line, code page 932.
  using LineSink = LineConsoleView::Sink;
  // Told of every server message once the client has handled it.
  using MessageHook = std::function<void(std::string_view text)>;

  HeadlessPlayer(PlayerOptions options, LineSink consoleLines, LineSink errorLines = {},
                 MessageHook afterMessage = {});
  ~HeadlessPlayer() override;
  HeadlessPlayer(const HeadlessPlayer&) = delete;
  HeadlessPlayer& operator=(const HeadlessPlayer&) = delete;

  // Reads the card list, once: what stopped it short, if anything, is the
  // catalogue's fault() and goes to no error line, so that the caller can
  // word it (a player without its whole deck misjudges cards).
  const CardCatalogue& ReadDeck();
  // Reads the card list unless ReadDeck did, and starts connecting; false
  // when the connect cannot even start.
  bool Start();
  // Waits up to timeoutMs for the server, handles what came and makes the
  // clicks that are due. False once there is no connection any more.
  bool Poll(int timeoutMs);
  // Leaves as the client's exit does: goodbye, the pause, the close.
  void Quit() { lobby_.Exit1Click(); }

  bool online() const { return transport_.active(); }
  // A command is out whose answer has not come yet.
  bool waiting() const { return wait_.waiting(); }
  int32_t myId() const { return lobby_.myId(); }
  const Lobby& lobby() const { return lobby_; }
  // The game window opened last, or nullptr.
  const GameRoom* room() const { return rooms_.empty() ? nullptr : &rooms_.back()->room; }
  const TurnPlanner& planner() const { return *planner_; }
  int gamesStarted() const { return gamesStarted_; }
  int results() const { return results_; }

 private:
  struct Room {
    Room(LobbyLinks links, const LineSink& sink)
        : consoleView(sink), console(consoleView, clock), room(std::move(links), console, view) {}
    SystemClock clock;
    LineConsoleView consoleView;
    Console console;
    NullGameView view;
    GameRoom room;
  };
  // Sees each command on its way out: some are answered, and a click that
  // sends nothing was refused by the client itself.
  class WatchedTransport : public Transport {
   public:
    WatchedTransport(PosixTransport& socket, AnswerWait& wait) : socket_(socket), wait_(wait) {}
    bool active() const override { return socket_.active(); }
    bool connected() const override { return socket_.connected(); }
    bool Start(const std::string& address, uint16_t port) override { return socket_.Start(address, port); }
    void Close() override { socket_.Close(); }
    void Send(std::string_view bytes) override;
    int sent = 0;

   private:
    PosixTransport& socket_;
    AnswerWait& wait_;
  };

  // LobbyView.
  void ShowOnline(bool) override {}
  void ShowLabel2(std::string_view) override {}
  void ShowEdit2(std::string_view) override {}
  GameWindow& OpenGameWindow(std::string_view cp932Caption) override;

  void Read(std::string_view bytes);
  void ReadMessages(std::string_view bytes);
  void Handled(std::string_view text);
  void Act();
  void LookForParty();
  // One click in the party: start, leave, or the planner's; false when none.
  bool Step(GameRoom& room);
  GameRoom* currentRoom() { return rooms_.empty() ? nullptr : &rooms_.back()->room; }

  PlayerOptions options_;
  LineSink consoleLines_;
  LineSink errorLines_;
  LineSink errorBoxLines_;  // errorLines_, but not while ReadDeck reads
  MessageHook afterMessage_;
  SystemClock clock_;
  LineConsoleView lobbyView_;
  Console lobbyConsole_;
  SilentDebugLog debugLog_;
  LineErrorBox errorBox_;
  SleepingPause sleepingPause_;
  NoPause noPause_;
  AnswerWait wait_;
  PosixTransport transport_;
  WatchedTransport watched_;
  Lobby lobby_;
  std::vector<std::unique_ptr<Room>> rooms_;
  std::unique_ptr<TurnPlanner> planner_;
  ThinkTime think_;
  SleepingPause thinkPause_;
  StartGate startGate_;
  // When the leader looks again whether to start, though nothing comes in.
  std::optional<std::chrono::steady_clock::time_point> startLook_;

  std::string partial_;  // the bytes of a message not yet whole
  bool deckRead_ = false;
  bool readingDeck_ = false;
  bool greeted_ = false;
  bool inParty_ = false;
  bool partiesChanged_ = false;
  // Parties this player left are not joined again: party numbers are not
  // reused, and two followers must not take turns leading an empty party.
  std::set<int32_t> leftParties_;
  std::chrono::steady_clock::time_point lastListRequest_;
  int gamesStarted_ = 0;
  int results_ = 0;
};

}  // namespace gorvane::bot
