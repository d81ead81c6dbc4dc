// SPDX-License-Identifier: GPL-3.0-or-later
// Accounts and their statistics, in an embedded SQLite file or in a
// PostgreSQL database that several servers share. A password is kept only
// as a salted Argon2id hash (or, for an account stored before, PBKDF2-HMAC-
// SHA-256, until its owner next logs in).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/moderation.h"

namespace gorvane::server {

// The older hash: PBKDF2-HMAC-SHA-256 at this many iterations, with a salt of
// kSaltBytes bytes alone.
inline constexpr int kPasswordIterations = 20000;
inline constexpr size_t kSaltBytes = 16;
inline constexpr size_t kHashBytes = 32;
// Argon2id at OWASP's minimum: 19 MiB, 2 passes, one lane. Its parameters
// are kept with each hash, at the head of the salt column:
// "$argon2id$v=19$m=19456,t=2,p=1$" and then the kSaltBytes random bytes.
inline constexpr unsigned kArgonPasses = 2;
inline constexpr unsigned kArgonKiB = 19 * 1024;
// What a stored hash may ask of the memory at most (a damaged or hostile row
// must not take the server's).
inline constexpr unsigned kArgonMostKiB = 256 * 1024;
// The schema this program reads and writes; a store at a newer one was
// written by a newer program and is not touched.
// Version 2 adds the results already applied, so that one written again
// after a lost answer is not counted twice. Version 3 stores Argon2id
// hashes, which an older program would take for wrong passwords. Version 4
// adds moderators, bans, mutes, the message of the day, the audit and where
// a self-registered account came from.
inline constexpr int kSchemaVersion = 4;

// How long a PostgreSQL statement may run when the caller names no bound:
// the database ends it then (a locked table), and a database that does not
// answer at all is given up on a second later.
inline constexpr auto kStoreCallWait = std::chrono::milliseconds(2000);

// The hash of a password by the salt's kind: Argon2id with the parameters at
// its head, or PBKDF2-HMAC-SHA-256 at iterations for a bare salt; empty when
// the salt's parameters cannot be read or the hash fails.
std::string HashPassword(std::string_view password, std::string_view salt, int iterations);

// A fresh Argon2id salt, parameters and all; empty without randomness.
std::string NewSalt();

// What is stored to check a password against.
struct Credentials {
  std::string salt;
  std::string hash;
  int iterations = 0;
  // The account's owner may moderate the lobby; read with the credentials.
  bool moderator = false;
};

// Whether the password hashes to the stored hash; compared in constant time.
bool Matches(const Credentials& stored, std::string_view hash);
// Whether the credentials are of the older kind, to be hashed anew at the
// next good login.
bool NeedsRehash(const Credentials& stored);

struct Statistics {
  int64_t prize = 0;
  int64_t wins = 0;
};

// One player's result of one game, owed to the account until applied. The
// id is unique per result across servers: applying it again changes
// nothing, so a write whose answer was lost may simply be made again.
struct OwedResult {
  std::string id;
  std::string login;
  int64_t prize = 0;
  int64_t wins = 0;
};

// A fresh result id: random, so that servers sharing a store never clash.
std::string NewResultId();

// One whole account, as an import copies it.
struct Account {
  std::string login;
  Credentials credentials;
  Statistics statistics;
};

// What a ranking orders the accounts by.
enum class RankBy { kPrize, kWins };

// One account's place in a ranking.
struct Ranked {
  std::string login;  // code page 932
  Statistics statistics;
};

// Whether --db names a PostgreSQL database rather than an SQLite file.
bool IsPostgresUri(std::string_view where);

class AccountStore {
 public:
  // Opens or creates the store: a PostgreSQL URI (postgresql://..., the PG*
  // environment filling what it leaves out) or an SQLite file. Brings an
  // older schema up to date; nothing, with the reason in error, when it
  // cannot or when the schema is newer than this program knows. With a
  // wait, no statement waits longer than that for the database (SQLite's
  // busy timeout, PostgreSQL's statement timeout, and a second more for an
  // answer); without, SQLite waits 2 s and PostgreSQL kStoreCallWait.
  static std::unique_ptr<AccountStore> Open(const std::string& where, std::string& error,
                                            std::chrono::milliseconds wait = {});
  virtual ~AccountStore() = default;

  // Stores the account, or gives an existing one a new password and keeps
  // its statistics.
  bool SetPassword(std::string_view login, std::string_view password, std::string& error);
  // The stored credentials of a login; nothing for an unknown login, and
  // failed set, with the reason in error, when the store could not be read.
  virtual std::optional<Credentials> Lookup(std::string_view login, bool& failed, std::string& error) = 0;
  std::optional<Credentials> Find(std::string_view login, bool& failed) {
    std::string error;
    return Lookup(login, failed, error);
  }
  virtual std::optional<Statistics> Read(std::string_view login) = 0;
  // Adds the result to the account's totals atomically, so that two servers
  // ending games for one account at once both count, unless a result of
  // that id was applied already; true when it is applied now or was before.
  virtual bool Apply(const OwedResult& result, std::string& error) = 0;
  // A result of its own, fresh id.
  bool AddResult(std::string_view login, int64_t prize, int64_t wins, std::string& error) {
    return Apply({NewResultId(), std::string(login), prize, wins}, error);
  }

  // The accounts with the most prize (or wins), most first, equal ones in
  // the byte order of their logins; accounts with none are left out.
  // Nothing when the store cannot be read.
  virtual std::optional<std::vector<Ranked>> Leaders(RankBy by, size_t count, std::string& error) = 0;
  // Whether the database answers a question now.
  virtual bool Ping(std::string& error) = 0;

  // Every account, for an import; nothing when the store cannot be read.
  virtual std::optional<std::vector<Account>> All(std::string& error) = 0;
  // Copies in the accounts not here yet and leaves the others as they are,
  // so that a second import changes nothing; how many were copied.
  virtual std::optional<size_t> Import(const std::vector<Account>& accounts, std::string& error) = 0;

  // Moderation, shared by every server on the store. Each fails, with the
  // reason in error, when the store cannot be read or written; the base
  // class's fail, for a store that keeps none.
  // Marks an account a moderator's or not; false for an unknown login.
  virtual bool SetModerator(std::string_view login, bool moderator, std::string& error);
  // Stores the ban (or mute); its id.
  virtual std::optional<int64_t> AddBan(const Ban& ban, std::string& error);
  virtual std::optional<int64_t> AddMute(const Mute& mute, std::string& error);
  // Lifts the bans in force whose login or address is the target, at now;
  // how many.
  virtual std::optional<size_t> LiftBans(std::string_view target, int64_t now, std::string& error);
  // The message of the day; empty clears it.
  virtual bool SetMotd(std::string_view text, std::string& error);
  // The bans and mutes in force at now, newest first, and the message of
  // the day.
  virtual std::optional<ModerationState> ReadModeration(int64_t now, std::string& error);
  virtual bool AddAudit(const AuditEntry& entry, std::string& error);
  // The last count actions, newest first.
  virtual std::optional<std::vector<AuditEntry>> Audit(size_t count, std::string& error);
  // Creates the login with the credentials unless it exists or the address
  // has registered kRegistrationsPerDay logins in the day before now; the
  // count and the insert are one transaction, so servers sharing the store
  // cannot together exceed it.
  virtual Registration Register(std::string_view login, const Credentials& credentials,
                                std::string_view address, int64_t now, std::string& error);

  // The next call tries the database at once, whatever the backoff after
  // failures says: the last chance when stopping.
  virtual void RetryNow() {}

  // Calls under way give up at once and every later one fails: for a stop
  // that must not wait for a database that does not answer. Any thread.
  virtual void Abandon() {}

  // Closes the store; every later call fails. False when it could not be
  // closed cleanly.
  virtual bool Close() = 0;

 protected:
  // A store that wraps another passes this on.
  friend class TimedStore;
  virtual bool StoreCredentials(std::string_view login, const Credentials& credentials,
                                std::string& error) = 0;
};

std::unique_ptr<AccountStore> OpenSqliteStore(const std::string& path, std::string& error,
                                              std::chrono::milliseconds wait = {});
std::unique_ptr<AccountStore> OpenPostgresStore(const std::string& uri, std::string& error,
                                                std::chrono::milliseconds wait = {});

}  // namespace gorvane::server
