// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/timed_store.h"

namespace gorvane::server {

std::optional<Credentials> TimedStore::Lookup(std::string_view login, bool& failed, std::string& error) {
  const TimePoint start = SteadyClock::now();
  auto credentials = store_.Lookup(login, failed, error);
  metrics_.StoreCallTook(StoreCall::kLoginLookup, SteadyClock::now() - start);
  return credentials;
}

std::optional<Statistics> TimedStore::Read(std::string_view login) {
  const TimePoint start = SteadyClock::now();
  auto statistics = store_.Read(login);
  metrics_.StoreCallTook(StoreCall::kInfoRead, SteadyClock::now() - start);
  return statistics;
}

bool TimedStore::Apply(const OwedResult& result, std::string& error) {
  const TimePoint start = SteadyClock::now();
  const bool applied = store_.Apply(result, error);
  metrics_.StoreCallTook(StoreCall::kResultWrite, SteadyClock::now() - start);
  return applied;
}

std::optional<ModerationState> TimedStore::ReadModeration(int64_t now, std::string& error) {
  const TimePoint start = SteadyClock::now();
  auto state = store_.ReadModeration(now, error);
  metrics_.StoreCallTook(StoreCall::kModerationRead, SteadyClock::now() - start);
  return state;
}

Registration TimedStore::Register(std::string_view login, const Credentials& credentials,
                                  std::string_view address, int64_t now, std::string& error) {
  const TimePoint start = SteadyClock::now();
  const Registration made = store_.Register(login, credentials, address, now, error);
  metrics_.StoreCallTook(StoreCall::kRegistration, SteadyClock::now() - start);
  return made;
}

}  // namespace gorvane::server
