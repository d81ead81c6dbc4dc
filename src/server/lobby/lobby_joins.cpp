// SPDX-License-Identifier: GPL-3.0-or-later
// Joining the lobby: names, a full lobby and who gives way in it, and the
// bound on greetings and departures that every user is told of.
#include "server/base/wire.h"
#include "server/lobby/lobby_context.h"
#include "server/lobby/names.h"

namespace gorvane::server {
namespace {

std::string Number(int64_t value) { return std::to_string(value); }

}  // namespace

void LobbyContext::Relay(const std::string& text) {
  // Departures are told whatever the bound: they only make the joins wait.
  relays.Admit(arrived, 0);
  ToJoined(text);
}

void LobbyContext::Join(User& user, std::string_view argument, TimePoint now) {
  if (user.joined || user.joinWaiting) {
    Refuse(user, "G_JOIN", "already joined");
    return;
  }
  if (!waitingJoins.empty() || relays.Full(now)) {
    metrics.Defended(Defence::kJoinQueued);
    user.joinWaiting = true;
    waitingJoins.emplace_back(user.id, std::string(argument));
    return;
  }
  JoinNow(user, argument, now);
}

const User* LobbyContext::Silent(TimePoint now) const {
  if (rules.idleGiveWay <= Duration::zero()) return nullptr;
  const User* silent = nullptr;
  for (const auto& [id, user] : users) {
    if (!user.joined || now - user.lastHeard < rules.idleGiveWay) continue;
    if (user.party != 0) {
      const auto party = parties.find(user.party);
      if (party != parties.end() && party->second.game) continue;
    }
    if (silent == nullptr || user.lastHeard < silent->lastHeard) silent = &user;
  }
  return silent;
}

void LobbyContext::JoinNow(User& user, std::string_view argument, TimePoint now) {
  if (joinedCount >= rules.maxUsers) {
    const User* silent = Silent(now);
    if (silent == nullptr) {
      metrics.Defended(Defence::kServerFull);
      Refuse(user, "G_JOIN", Number(static_cast<int64_t>(rules.maxUsers)) + " users already");
      const int32_t id = user.id;
      outbox.Send(id, "S_EXCEED");
      outbox.Close(id, "turned away: the server is full");
      users.erase(id);
      return;
    }
    metrics.Defended(Defence::kIdleGaveWay);
    const int32_t gone = silent->id;
    const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - silent->lastHeard).count();
    User& leaving = users.at(gone);
    Leave(leaving);
    outbox.Send(gone, "S_BYE");
    outbox.Close(gone, "gave way to a newcomer after " + Number(quiet) + " s without a word");
    Forget(users.find(gone));
    Relay(Message("S_QUIT", {Number(gone)}));
  }
  const NameTaken taken = [&](const std::string& key) { return NameInUse(key, user.id); };
  user.name = CleanName(argument);
  if (const NameRefusal refusal = CheckName(user.name, taken); refusal != NameRefusal::kNone) {
    // The client takes its name from the greeting: it goes by this one.
    Refuse(user, "G_JOIN", std::string(RefusalText(refusal)) + ", greeted as another");
    user.name = UniqueName(user.name, taken, kNameBytes);
  }
  user.nameKey = NameKey(user.name);
  user.joined = true;
  user.lastHeard = now;
  ++joinedCount;
  metrics.Users(joinedCount);
  ListsChanged();
  Relay(Message("S_GREETING", {Number(user.id), user.name}));
}

std::optional<TimePoint> LobbyContext::GreetWaiting(TimePoint now) {
  while (!waitingJoins.empty() && !relays.Full(now)) {
    auto [id, argument] = std::move(waitingJoins.front());
    waitingJoins.pop_front();
    const auto found = users.find(id);
    if (found == users.end() || !found->second.joinWaiting) continue;
    found->second.joinWaiting = false;
    arrived = now;
    JoinNow(found->second, argument, now);
  }
  if (waitingJoins.empty()) return std::nullopt;
  // The bound frees up as the second's greetings age out.
  return now + std::chrono::milliseconds(50);
}

}  // namespace gorvane::server
