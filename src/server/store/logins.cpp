// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/store/logins.h"

#include <openssl/rand.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

void PasswordWorker::Cancel(uint64_t ticket) {
  std::lock_guard lock(mutex_);
  std::erase_if(jobs_, [&](const Job& job) { return job.ticket == ticket; });
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
  // machine of few cores the loop is what every user waits on.
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
    // An unknown login, or one the store could not look up, is hashed with
    // the decoy salt, so that its answer takes as long as a wrong password's.
    done.hash = done.stored ? hasher_(job.password, done.stored->salt, done.stored->iterations)
                            : hasher_(job.password, job.decoySalt, kPasswordIterations);
    {
      std::lock_guard lock(mutex_);
      done_.push_back(std::move(done));
    }
    Poke();
  }
}

LoginDesk::LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher)
    : throttle_(rules), decoySalt_(kSaltBytes, '\0'), worker_(accounts, std::move(hasher)) {
  RAND_bytes(reinterpret_cast<unsigned char*>(decoySalt_.data()), static_cast<int>(decoySalt_.size()));
}

std::optional<LoginOutcome> LoginDesk::Begin(uint64_t ticket, const std::string& address,
                                             const std::string& login, const std::string& password,
                                             TimePoint now) {
  if (throttle_.Locked(now, address)) return LoginOutcome::kThrottled;
  const auto mine = byAddress_.find(address);
  if (mine != byAddress_.end() && mine->second.size() >= kLoginsInFlightPerAddress) {
    return LoginOutcome::kThrottled;
  }
  // Those already waiting for the login go first.
  const auto queue = waiting_.find(LoginKey(login));
  const bool over = queue != waiting_.end() || throttle_.CheckFreeAt(now, login) > now;
  if (over && throttle_.Failing(now, address)) return LoginOutcome::kThrottled;
  if (over && queue != waiting_.end() && queue->second.size() >= kLoginsWaitingPerLogin &&
      !MakeRoom(queue->second, address)) {
    return LoginOutcome::kThrottled;
  }
  const Entry entry = pending_.insert_or_assign(ticket, Pending{address, login, password}).first;
  byAddress_[address].push_back(ticket);
  if (!over) {
    Start(entry, now);
    return std::nullopt;
  }
  waiting_[LoginKey(login)].push_back(ticket);
  const TimePoint free = throttle_.CheckFreeAt(now, login);
  if (!due_ || free < *due_) due_ = free;
  return std::nullopt;
}

void LoginDesk::Start(Entry entry, TimePoint now) {
  Pending& pending = entry->second;
  // The decoy is counted too: an unknown login must look like a known one.
  throttle_.Checked(now, pending.login);
  pending.started = true;
  pending.deadline = now + kStoreWait;
  deadlines_.emplace_back(pending.deadline, entry->first);
  worker_.Submit({entry->first, pending.login, std::exchange(pending.password, {}), decoySalt_});
}

std::optional<TimePoint> LoginDesk::NextDue() const {
  std::optional<TimePoint> next = due_;
  if (!deadlines_.empty() && (!next || deadlines_.front().first < *next)) next = deadlines_.front().first;
  return next;
}

void LoginDesk::StartDue(TimePoint now) {
  // The user waits no longer than that for a store that does not answer; a
  // late answer finds its check gone.
  while (!deadlines_.empty() && deadlines_.front().first <= now) {
    const auto [deadline, ticket] = deadlines_.front();
    deadlines_.pop_front();
    const auto found = pending_.find(ticket);
    if (found == pending_.end() || !found->second.started || found->second.deadline != deadline) continue;
    const Pending pending = Finish(found);
    refused_.push_back({ticket, pending.login, LoginOutcome::kFailed, false,
                        "the account store did not answer within " +
                            std::to_string(std::chrono::seconds(kStoreWait).count()) + " s"});
    worker_.Poke();
  }
  if (!due_ || now < *due_) return;
  due_.reset();
  for (auto queue = waiting_.begin(); queue != waiting_.end();) {
    std::deque<uint64_t>& tickets = queue->second;
    while (!tickets.empty()) {
      const TimePoint free = throttle_.CheckFreeAt(now, pending_.at(tickets.front()).login);
      if (free > now) {
        if (!due_ || free < *due_) due_ = free;
        break;
      }
      // An address that keeps many checks open must not hold up one that
      // has a single check.
      const auto next = std::min_element(tickets.begin(), tickets.end(), [&](uint64_t a, uint64_t b) {
        return Open(pending_.at(a).address) < Open(pending_.at(b).address);
      });
      const Entry entry = pending_.find(*next);
      tickets.erase(next);
      Start(entry, now);
    }
    queue = tickets.empty() ? waiting_.erase(queue) : std::next(queue);
  }
}

size_t LoginDesk::Open(const std::string& address) const {
  const auto mine = byAddress_.find(address);
  return mine == byAddress_.end() ? 0 : mine->second.size();
}

bool LoginDesk::MakeRoom(std::deque<uint64_t>& queue, const std::string& address) {
  // The last of the busiest address's; room only when that address keeps
  // at least as many open as this one will.
  auto victim = queue.rbegin();
  for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
    if (Open(pending_.at(*it).address) > Open(pending_.at(*victim).address)) victim = it;
  }
  if (Open(pending_.at(*victim).address) <= Open(address) + 1) return false;
  const uint64_t ticket = *victim;
  const Pending pending = Finish(pending_.find(ticket));
  refused_.push_back({ticket, pending.login, LoginOutcome::kThrottled, false, {}});
  worker_.Poke();
  return true;
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
    const auto found = pending_.find(done.ticket);
    if (found == pending_.end()) continue;
    const Pending pending = Finish(found);
    Answer answer{done.ticket, pending.login, LoginOutcome::kFailed, false, std::move(done.why)};
    // A store that failed is not the user's doing: no failure counted.
    if (done.hash.empty() || done.failed) {
      answers.push_back(std::move(answer));
      continue;
    }
    if (done.stored && Matches(*done.stored, done.hash)) {
      answer.outcome = LoginOutcome::kOk;
      answers.push_back(std::move(answer));
      continue;
    }
    answer.outcome = done.stored ? LoginOutcome::kWrongPassword : LoginOutcome::kUnknown;
    answer.locked = throttle_.Failed(now, pending.address);
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
    // Whatever due_ says for this login stays a harmless early wake.
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
  if (found->second.started) worker_.Cancel(ticket);
  Finish(found);
}

}  // namespace gorvane::server
