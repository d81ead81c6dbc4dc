#include "server/logins.h"

#include <openssl/rand.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

namespace gorvane::server {

PasswordWorker::PasswordWorker(Hasher hasher)
    : hasher_(std::move(hasher)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
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

std::vector<PasswordWorker::Done> PasswordWorker::Collect() {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
  std::lock_guard lock(mutex_);
  std::vector<Done> done;
  done.swap(done_);
  return done;
}

void PasswordWorker::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    Done done{job.ticket, hasher_(job.password, job.salt, job.iterations)};
    {
      std::lock_guard lock(mutex_);
      done_.push_back(std::move(done));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
}

LoginDesk::LoginDesk(AccountStore& accounts, LoginThrottle::Rules rules, Hasher hasher)
    : accounts_(accounts), throttle_(rules), decoySalt_(kSaltBytes, '\0'), worker_(std::move(hasher)) {
  RAND_bytes(reinterpret_cast<unsigned char*>(decoySalt_.data()), static_cast<int>(decoySalt_.size()));
}

std::optional<LoginOutcome> LoginDesk::Begin(uint64_t ticket, const std::string& address,
                                             const std::string& login, const std::string& password,
                                             TimePoint now) {
  if (throttle_.Locked(now, address, login)) return LoginOutcome::kThrottled;
  const auto flying = inFlight_.find(address);
  if (flying != inFlight_.end() && flying->second >= kLoginsInFlightPerAddress) {
    return LoginOutcome::kThrottled;
  }
  bool failed = false;
  std::optional<Credentials> stored = accounts_.Find(login, failed);
  if (failed) return LoginOutcome::kFailed;
  // An unknown login is hashed with a decoy salt, so that its answer takes
  // as long as a wrong password's.
  PasswordWorker::Job job{ticket, password, stored ? stored->salt : decoySalt_,
                          stored ? stored->iterations : kPasswordIterations};
  pending_[ticket] = Pending{address, login, std::move(stored)};
  ++inFlight_[address];
  worker_.Submit(std::move(job));
  return std::nullopt;
}

std::vector<LoginDesk::Answer> LoginDesk::Collect(TimePoint now) {
  std::vector<Answer> answers;
  for (PasswordWorker::Done& done : worker_.Collect()) {
    const auto found = pending_.find(done.ticket);
    if (found == pending_.end()) continue;
    const Pending pending = Finish(found);
    Answer answer{done.ticket, pending.login, LoginOutcome::kFailed, false};
    if (done.hash.empty()) {
      answers.push_back(std::move(answer));
      continue;
    }
    if (pending.stored && Matches(*pending.stored, done.hash)) {
      answer.outcome = LoginOutcome::kOk;
      throttle_.Succeeded(pending.login);
    } else {
      answer.outcome = pending.stored ? LoginOutcome::kWrongPassword : LoginOutcome::kUnknown;
      answer.locked = throttle_.Failed(now, pending.address, pending.login);
    }
    answers.push_back(std::move(answer));
  }
  return answers;
}

LoginDesk::Pending LoginDesk::Finish(std::map<uint64_t, Pending>::iterator found) {
  Pending pending = std::move(found->second);
  pending_.erase(found);
  const auto count = inFlight_.find(pending.address);
  if (count != inFlight_.end() && --count->second == 0) inFlight_.erase(count);
  return pending;
}

void LoginDesk::Cancel(uint64_t ticket) {
  const auto found = pending_.find(ticket);
  if (found == pending_.end()) return;
  worker_.Cancel(ticket);
  Finish(found);
}

}  // namespace gorvane::server
