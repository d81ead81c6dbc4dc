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
  // What every server reads each second, and a registration that a login
  // waits for, are timed; a moderator's writes are rare.
  std::optional<ModerationState> ReadModeration(int64_t now, std::string& error) override;
  Registration Register(std::string_view login, const Credentials& credentials, std::string_view address,
                        int64_t now, std::string& error) override;
  bool SetModerator(std::string_view login, bool moderator, std::string& error) override {
    return store_.SetModerator(login, moderator, error);
  }
  std::optional<int64_t> AddBan(const Ban& ban, std::string& error) override {
    return store_.AddBan(ban, error);
  }
  std::optional<int64_t> AddMute(const Mute& mute, std::string& error) override {
    return store_.AddMute(mute, error);
  }
  std::optional<size_t> LiftBans(std::string_view target, int64_t now, std::string& error) override {
    return store_.LiftBans(target, now, error);
  }
  bool SetMotd(std::string_view text, std::string& error) override { return store_.SetMotd(text, error); }
  bool AddAudit(const AuditEntry& entry, std::string& error) override {
    return store_.AddAudit(entry, error);
  }
  std::optional<std::vector<AuditEntry>> Audit(size_t count, std::string& error) override {
    return store_.Audit(count, error);
  }
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
