// Cuts the received byte stream into NUL-terminated messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "core/codec.h"

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
    TakeMessages(bytes, onMessage);
    while (!deferred_.empty()) {
      // What arrived while a handler ran comes after everything before it.
      std::string more = std::move(deferred_);
      deferred_.clear();
      TakeMessages(more, onMessage);
    }
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

  // Hands on every message that ends in bytes, each read where it lies;
  // only a message cut by the end of a read is copied, to be completed by
  // the next.
  template <typename OnMessage>
  void TakeMessages(std::string_view bytes, OnMessage& onMessage) {
    size_t nul = bytes.find('\0');
    if (nul == std::string_view::npos) {
      buffer_.append(bytes);
      return;
    }
    if (!buffer_.empty()) {
      // The handler may reset the framer: the message is its own string.
      std::string message = std::move(buffer_);
      message.append(bytes.substr(0, nul + 1));
      buffer_.clear();
      onMessage(TrimMessage(message));
      if (buffer_.empty()) {
        message.clear();
        buffer_.swap(message);  // keeps the capacity for the next cut message
      }
      bytes.remove_prefix(nul + 1);
      nul = bytes.find('\0');
    }
    while (nul != std::string_view::npos) {
      onMessage(TrimMessage(bytes.substr(0, nul + 1)));
      bytes.remove_prefix(nul + 1);
      nul = bytes.find('\0');
    }
    buffer_.append(bytes);
  }

  std::string buffer_;
  std::string deferred_;
  size_t limit_;
  bool feeding_ = false;
};

}  // namespace gorvane
