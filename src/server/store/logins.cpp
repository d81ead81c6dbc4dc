// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/logins.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

namespace gorvane::server {

PasswordWorker::PasswordWorker(AccountStore& accounts, Hasher hasher)
    : accounts_(accounts), hasher_(std::move(hasher)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  thread_ = std::thread([this] { Work(); });
}

PasswordWorker::~PasswordWorker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    jobs_.clear();
  }
  ready_.notify_one();
  thread_.join();
  if (wake_ >= 0) ::close(wake_);
}

void PasswordWorker::Submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
}

bool PasswordWorker::Cancel(uint64_t ticket) {
  std::lock_guard lock(mutex_);
  return std::erase_if(jobs_, [&](const Job& job) { return job.ticket == ticket; }) > 0;
}

void PasswordWorker::Poke() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

std::vector<PasswordWorker::Done> PasswordWorker::Collect() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
  std::lock_guard lock(mutex_);
  std::vector<Done> done;
  done.swap(done_);
  return done;
}

void PasswordWorker::Work() {
  // A burst of hashes must not take the CPU from the game loop: on a
  // machine of few cores the loop is what every user waits on. Niced, not
  // idle: an idle-priority thread gave the loop its chat back at 40 checks
  // a second, but on a machine busy with anything else it never ran, and
  // every login waited out its deadline.
  [[maybe_unused]] const int niced = setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Done done;
    done.ticket = job.ticket;
    done.stored = accounts_.Lookup(job.login, done.failed, done.why);
    // A password too short for a new account is refused here too, whatever
    // the lobby decided.
    if (!done.stored && !done.failed && job.mayRegister && job.password.size() >= kRegistrationMinPassword) {
      Register(job, done);
    } else {
      // An unknown login, or one the store could not look up, is hashed with
      // the decoy salt, so that its answer takes as long as a wrong
      // password's.
      done.hash = done.stored ? hasher_(job.password, done.stored->salt, done.stored->iterations)
                              : hasher_(job.password, job.decoySalt, static_cast<int>(kArgonPasses));
    }
    // An account stored the older way is hashed anew by its right password,
    // here off the loop; should that fail, the next good login tries again.
    if (done.stored && !done.failed && NeedsRehash(*done.stored) && Matches(*done.stored, done.hash)) {
      std::string ignored;
      accounts_.SetPassword(job.login, job.password, ignored);
    }
    {
      std::lock_guard lock(mutex_);
      done_.push_back(std::move(done));
    }
    Poke();
  }
}

void PasswordWorker::Register(const Job& job, Done& done) {
  // The new account's hash takes the decoy's place: a registration costs
  // one hash, as any login does.
  Credentials made{NewSalt(), {}, static_cast<int>(kArgonPasses)};
  if (made.salt.empty()) {
    done.failed = true;
    done.why = "no random salt";
    return;
  }
  made.hash = hasher_(job.password, made.salt, made.iterations);
  if (made.hash.empty()) {
    done.failed = true;
    done.why = "Argon2id failed (out of memory?)";
    return;
  }
  done.hash = made.hash;
  switch (accounts_.Register(job.login, made, job.address, SystemSeconds(), done.why)) {
    case Registration::kCreated:
      done.stored = std::move(made);
      done.registered = true;
      return;
    case Registration::kTaken:
      // Made by another at the same moment: an ordinary login of that
      // account now.
      done.stored = accounts_.Lookup(job.login, done.failed, done.why);
      if (done.stored) done.hash = hasher_(job.password, done.stored->salt, done.stored->iterations);
      return;
    case Registration::kLimit:
      // Left unknown: the answer an unknown login gets.
      return;
    case Registration::kFailed:
      done.failed = true;
      return;
  }
}

std::string NetworkOf(const std::string& address) {
  const std::string host = address.substr(0, address.find('/'));
  unsigned char bytes[16] = {};
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
    bytes[3] = 0;
    inet_ntop(AF_INET, bytes, text.data(), text.size());
    return std::string(text.data()) + "/24";
  }
  if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
    std::fill(std::begin(bytes) + 6, std::end(bytes), 0);
    inet_ntop(AF_INET6, bytes, text.data(), text.size());
    return std::string(text.data()) + "/48";
  }
  return address;
}

LoginDesk::LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher)
    : throttle_(rules), decoySalt_(NewSalt()), worker_(accounts, std::move(hasher)) {}

std::optional<LoginOutcome> LoginDesk::Begin(uint64_t ticket, const std::string& address,
                                             const std::string& login, const std::string& password,
                                             TimePoint now, bool mayRegister) {
  if (throttle_.Locked(now, address)) return LoginOutcome::kThrottled;
  const auto mine = byAddress_.find(address);
  if (mine != byAddress_.end() && mine->second.size() >= kLoginsInFlightPerAddress) {
    return LoginOutcome::kThrottled;
  }
  const std::string key = LoginKey(login);
  const std::string network = NetworkOf(address);
  // Those already waiting for the login go first.
  const auto queue = waiting_.find(key);
  const bool over = queue != waiting_.end() || throttle_.CheckFreeAt(now, login) > now;
  if (over && (throttle_.Failing(now, address) || FailedHere(now, key, address)))
    return LoginOutcome::kThrottled;
  if (over && queue != waiting_.end()) {
    if (Waiting(queue->second, network) >= kLoginsWaitingPerNetwork) return LoginOutcome::kThrottled;
    if (queue->second.size() >= kLoginsWaitingPerLogin && !MakeRoom(queue->second, network)) {
      return LoginOutcome::kThrottled;
    }
  }
  // The worker has its fill (a crowd logging in at once, as after a
  // restart): the check waits its turn rather than answer a right password
  // as wrong at once, as long as a started check waits for the store, so
  // that a store that stalls still gets no pile of checks.
  const bool behindBacklog = !over && atTheStore_ >= kChecksAtTheStore;
  const bool queued = over || behindBacklog;
  const Entry entry =
      pending_.insert_or_assign(ticket, Pending{address, network, login, password, mayRegister}).first;
  byAddress_[address].push_back(ticket);
  if (!queued) {
    Start(entry, now);
    return std::nullopt;
  }
  entry->second.behindBacklog = behindBacklog;
  entry->second.deadline = now + (behindBacklog ? kStoreWait : kLoginQueueWait);
  deadlines_.emplace(entry->second.deadline, std::pair{ticket, uint64_t{0}});
  waiting_[key].push_back(ticket);
  const TimePoint free = throttle_.CheckFreeAt(now, login);
  if (!due_ || free < *due_) due_ = free;
  return std::nullopt;
}

void LoginDesk::Start(Entry entry, TimePoint now) {
  Pending& pending = entry->second;
  // The decoy is counted too: an unknown login must look like a known one.
  throttle_.Checked(now, pending.login);
  pending.started = true;
  pending.job = ++jobs_;
  pending.deadline = now + kStoreWait;
  deadlines_.emplace(pending.deadline, std::pair{entry->first, pending.job});
  ++atTheStore_;
  worker_.Submit({pending.job, pending.login, std::exchange(pending.password, {}), decoySalt_,
                  pending.address, pending.mayRegister});
}

std::optional<TimePoint> LoginDesk::NextDue() const {
  std::optional<TimePoint> next = due_;
  if (!deadlines_.empty() && (!next || deadlines_.begin()->first < *next)) next = deadlines_.begin()->first;
  return next;
}

void LoginDesk::StartDue(TimePoint now) {
  // The user waits no longer than that, for a store that does not answer or
  // for the login's budget; a late answer finds its check gone.
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const auto [deadline, numbers] = *deadlines_.begin();
    const auto [ticket, job] = numbers;
    deadlines_.erase(deadlines_.begin());
    const auto found = pending_.find(ticket);
    if (found == pending_.end() || found->second.job != job || found->second.deadline != deadline) continue;
    if (job == 0) {
      const Pending pending = Finish(found);
      if (pending.behindBacklog) {
        refused_.push_back({ticket, pending.login, LoginOutcome::kFailed, false,
                            "the account store did not keep up with the logins"});
      } else {
        refused_.push_back({ticket, pending.login, LoginOutcome::kThrottled, false, {}});
      }
      worker_.Poke();
      continue;
    }
    // Taken back unless begun: a check nobody waits for is never run.
    if (worker_.Cancel(job)) {
      --atTheStore_;
    } else {
      late_[job] = found->second.address;
    }
    const Pending pending = Finish(found);
    refused_.push_back({ticket, pending.login, LoginOutcome::kFailed, false,
                        "the account store did not answer within " +
                            std::to_string(std::chrono::seconds(kStoreWait).count()) + " s"});
    worker_.Poke();
  }
  Forget(now);
  if (!due_ || now < *due_) return;
  due_.reset();
  for (auto queue = waiting_.begin(); queue != waiting_.end();) {
    std::deque<uint64_t>& tickets = queue->second;
    while (!tickets.empty()) {
      // The worker's backlog is bounded for waiting checks too; they keep
      // their places and deadlines meanwhile.
      if (atTheStore_ >= kChecksAtTheStore) {
        const TimePoint again = now + std::chrono::milliseconds(250);
        if (!due_ || again < *due_) due_ = again;
        break;
      }
      const TimePoint free = throttle_.CheckFreeAt(now, pending_.at(tickets.front()).login);
      if (free > now) {
        if (!due_ || free < *due_) due_ = free;
        break;
      }
      // A network that keeps guessing wrong must not hold up one that does
      // not: the owner of a login comes from elsewhere than a rotation of
      // addresses does.
      const auto next = std::min_element(tickets.begin(), tickets.end(), [&](uint64_t a, uint64_t b) {
        return Load(queue->first, pending_.at(a).network) < Load(queue->first, pending_.at(b).network);
      });
      const Entry entry = pending_.find(*next);
      tickets.erase(next);
      Start(entry, now);
    }
    queue = tickets.empty() ? waiting_.erase(queue) : std::next(queue);
  }
}

size_t LoginDesk::Waiting(const std::deque<uint64_t>& queue, const std::string& network) const {
  return static_cast<size_t>(std::count_if(
      queue.begin(), queue.end(), [&](uint64_t ticket) { return pending_.at(ticket).network == network; }));
}

size_t LoginDesk::Load(const std::string& key, const std::string& network) const {
  size_t load = 0;
  if (const auto book = books_.find(key); book != books_.end()) {
    for (const auto& [when, from] : book->second.failures) load += from == network ? 1 : 0;
  }
  if (const auto queue = waiting_.find(key); queue != waiting_.end()) load += Waiting(queue->second, network);
  return load;
}

bool LoginDesk::MakeRoom(std::deque<uint64_t>& queue, const std::string& network) {
  // The last of the network with the most places; room only when that
  // network keeps more than this one will.
  auto victim = queue.rbegin();
  for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
    if (Waiting(queue, pending_.at(*it).network) > Waiting(queue, pending_.at(*victim).network)) victim = it;
  }
  if (Waiting(queue, pending_.at(*victim).network) <= Waiting(queue, network) + 1) return false;
  const uint64_t ticket = *victim;
  const Pending pending = Finish(pending_.find(ticket));
  refused_.push_back({ticket, pending.login, LoginOutcome::kThrottled, false, {}});
  worker_.Poke();
  return true;
}

void LoginDesk::Failed(TimePoint now, const std::string& login, const std::string& address) {
  Book& book = books_[LoginKey(login)];
  book.failures.emplace_back(now, NetworkOf(address));
  if (book.failures.size() > kLoginRemembersAddresses) book.failures.pop_front();
  auto& failed = book.failedFrom;
  failed[address] = now;
  if (failed.size() > kLoginRemembersAddresses) {
    failed.erase(std::min_element(failed.begin(), failed.end(),
                                  [](const auto& a, const auto& b) { return a.second < b.second; }));
  }
}

bool LoginDesk::FailedHere(TimePoint now, const std::string& key, const std::string& address) const {
  const auto book = books_.find(key);
  if (book == books_.end()) return false;
  const auto failed = book->second.failedFrom.find(address);
  return failed != book->second.failedFrom.end() && now - failed->second < kLoginRemembersFailures;
}

void LoginDesk::Forget(TimePoint now) {
  // Once a second at most: what is forgotten is minutes old.
  if (now - forgotAt_ < std::chrono::seconds(1)) return;
  forgotAt_ = now;
  for (auto book = books_.begin(); book != books_.end();) {
    auto& [failures, failedFrom] = book->second;
    while (!failures.empty() && now - failures.front().first >= kLoginRemembersFailures) failures.pop_front();
    std::erase_if(failedFrom,
                  [&](const auto& entry) { return now - entry.second >= kLoginRemembersFailures; });
    book = failures.empty() && failedFrom.empty() && waiting_.count(book->first) == 0 ? books_.erase(book)
                                                                                      : std::next(book);
  }
}

size_t LoginDesk::waiting() const {
  size_t count = 0;
  for (const auto& [key, tickets] : waiting_) count += tickets.size();
  return count;
}

std::vector<LoginDesk::Answer> LoginDesk::Collect(TimePoint now) {
  std::vector<Answer> answers;
  answers.swap(refused_);
  for (PasswordWorker::Done& done : worker_.Collect()) {
    --atTheStore_;
    const uint64_t job = done.ticket;
    const bool wrong =
        !done.hash.empty() && !done.failed && !(done.stored && Matches(*done.stored, done.hash));
    // Given up on, yet answered by the store after all: a wrong guess still
    // counts against its address, or a stalled store would be a free pass.
    if (const auto late = late_.find(job); late != late_.end()) {
      if (wrong) throttle_.Failed(now, late->second);
      late_.erase(late);
      continue;
    }
    const auto found = std::find_if(pending_.begin(), pending_.end(), [&](const auto& entry) {
      return entry.second.started && entry.second.job == job;
    });
    if (found == pending_.end()) continue;
    const uint64_t ticket = found->first;
    const Pending pending = Finish(found);
    Answer answer{ticket, pending.login, LoginOutcome::kFailed, false, std::move(done.why)};
    // A store that failed is not the user's doing: no failure counted.
    if (done.hash.empty() || done.failed) {
      answers.push_back(std::move(answer));
      continue;
    }
    if (!wrong) {
      answer.outcome = LoginOutcome::kOk;
      answer.moderator = done.stored->moderator;
      answer.registered = done.registered;
      answers.push_back(std::move(answer));
      continue;
    }
    answer.outcome = done.stored ? LoginOutcome::kWrongPassword : LoginOutcome::kUnknown;
    answer.locked = throttle_.Failed(now, pending.address);
    Failed(now, pending.login, pending.address);
    answers.push_back(std::move(answer));
    RefuseWaiting(pending.address, answers);
  }
  return answers;
}

void LoginDesk::RefuseWaiting(const std::string& address, std::vector<Answer>& answers) {
  const auto mine = byAddress_.find(address);
  if (mine == byAddress_.end()) return;
  for (const uint64_t ticket : std::vector<uint64_t>(mine->second)) {
    const Entry entry = pending_.find(ticket);
    if (entry->second.started) continue;
    const Pending pending = Finish(entry);
    answers.push_back({ticket, pending.login, LoginOutcome::kThrottled, false, {}});
  }
}

LoginDesk::Pending LoginDesk::Finish(Entry entry) {
  const uint64_t ticket = entry->first;
  Pending pending = std::move(entry->second);
  pending_.erase(entry);
  const auto mine = byAddress_.find(pending.address);
  if (mine != byAddress_.end()) {
    std::erase(mine->second, ticket);
    if (mine->second.empty()) byAddress_.erase(mine);
  }
  if (!pending.started) {
    // Whatever due_ says for this login stays a harmless early wake, and
    // its deadline finds the check gone.
    const auto queue = waiting_.find(LoginKey(pending.login));
    if (queue != waiting_.end()) {
      std::erase(queue->second, ticket);
      if (queue->second.empty()) waiting_.erase(queue);
    }
  }
  return pending;
}

void LoginDesk::Cancel(uint64_t ticket) {
  const auto found = pending_.find(ticket);
  if (found == pending_.end()) return;
  if (found->second.started) {
    // Begun: its answer is still counted against the address when it comes.
    if (worker_.Cancel(found->second.job)) {
      --atTheStore_;
    } else {
      late_[found->second.job] = found->second.address;
    }
  }
  Finish(found);
}

}  // namespace gorvane::server
