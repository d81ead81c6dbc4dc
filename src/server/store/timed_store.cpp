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

}  // namespace gorvane::server
