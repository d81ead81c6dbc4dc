// Cuts the received byte stream into NUL-terminated messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gorvane {

class MessageFramer {
 public:
  // Unterminated bytes held at most; a peer that sends more is not speaking
  // the protocol and its connection is closed.
  static constexpr size_t kDefaultLimit = size_t{16} * 1024 * 1024;

  explicit MessageFramer(size_t limit = kDefaultLimit) : limit_(limit) {}

  enum class Result { kOk, kOverflow };

  // Appends one read's bytes and calls onMessage(std::string_view text) for
  // every complete message, in order, with the trimmed text. Bytes after the
  // last terminator are kept for the next read.
  //
  // A handler may run a nested event loop (a modal box) in which more bytes
  // arrive: such a nested Feed only queues them, and the outer call handles
  // them in order after the current message. On kOverflow the held bytes are
  // dropped and the caller closes the connection.
  template <typename OnMessage>
  Result Feed(std::string_view bytes, OnMessage&& onMessage) {
    if (feeding_) {
      deferred_.append(bytes);
      return Result::kOk;
    }
    FeedingGuard guard(*this);
    buffer_.append(bytes);
    size_t start = 0;
    for (;;) {
      const size_t nul = buffer_.find('\0', scanFrom_);
      if (nul == std::string::npos) {
        if (deferred_.empty()) break;
        TakeDeferred(start);
        start = 0;
        continue;
      }
      scanFrom_ = nul + 1;
      onMessage(Trimmed(start, nul + 1));
      start = nul + 1;
    }
    buffer_.erase(0, start);
    scanFrom_ = buffer_.size();
    if (buffer_.size() > limit_) {
      Reset();
      return Result::kOverflow;
    }
    return Result::kOk;
  }

  // Forgets held bytes (a new connection starts clean).
  void Reset() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    deferred_.clear();
    scanFrom_ = 0;
  }

  size_t pending() const { return buffer_.size() + deferred_.size(); }

 private:
  struct FeedingGuard {
    explicit FeedingGuard(MessageFramer& f) : framer(f) { framer.feeding_ = true; }
    ~FeedingGuard() { framer.feeding_ = false; }
    FeedingGuard(const FeedingGuard&) = delete;
    FeedingGuard& operator=(const FeedingGuard&) = delete;
    MessageFramer& framer;
  };

  std::string_view Trimmed(size_t begin, size_t end) const;
  void TakeDeferred(size_t consumed);

  std::string buffer_;
  std::string deferred_;
  size_t scanFrom_ = 0;
  size_t limit_;
  bool feeding_ = false;
};

}  // namespace gorvane
