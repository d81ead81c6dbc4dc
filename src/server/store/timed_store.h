// SPDX-License-Identifier: GPL-3.0-or-later
// The account store as the server's workers call it: every call passed on
// to the store it wraps, the slow ones timed into the metrics.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/metrics.h"
#include "server/store/accounts.h"

namespace gorvane::server {

class TimedStore final : public AccountStore {
 public:
  TimedStore(AccountStore& store, Metrics& metrics) : store_(store), metrics_(metrics) {}

  std::optional<Credentials> Lookup(std::string_view login, bool& failed, std::string& error) override;
  std::optional<Statistics> Read(std::string_view login) override;
  bool Apply(const OwedResult& result, std::string& error) override;
  std::optional<std::vector<Account>> All(std::string& error) override { return store_.All(error); }
  std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) override {
    return store_.Import(accounts, error);
  }
  std::optional<std::vector<Ranked>> Leaders(RankBy by, size_t count, std::string& error) override {
    return store_.Leaders(by, count, error);
  }
  bool Ping(std::string& error) override { return store_.Ping(error); }
  void RetryNow() override { store_.RetryNow(); }
  void Abandon() override { store_.Abandon(); }
  bool Close() override { return store_.Close(); }

 protected:
  bool StoreCredentials(std::string_view login, const Credentials& credentials, std::string& error) override {
    return store_.StoreCredentials(login, credentials, error);
  }

 private:
  AccountStore& store_;
  Metrics& metrics_;
};

}  // namespace gorvane::server
