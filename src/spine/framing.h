// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts the received byte stream into NUL-terminated messages.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "spine/codec.h"
#include "spine/field_index.h"

namespace gorvane {

class MessageFramer {
 public:
  // Unterminated bytes held at most; a peer that sends more is not speaking
  // the protocol and its connection is closed.
  static constexpr size_t kDefaultLimit = size_t{16} * 1024 * 1024;

  // window: the bytes whose fields are found in one pass, at most
  // FieldIndex::kWindow; smaller only to test the cuts between windows.
  explicit MessageFramer(size_t limit = kDefaultLimit, size_t window = FieldIndex::kWindow)
      : limit_(limit), window_(std::clamp<size_t>(window, 1, FieldIndex::kWindow)) {}

  enum class Result { kOk, kOverflow };

  // Appends one read's bytes and calls onMessage(std::string_view text) for
  // every complete message, in order, with the trimmed text. Bytes after the
  // last terminator are kept for the next read. An onMessage that also takes
  // a const FieldList* gets the message's comma fields, found in one pass
  // over the read and valid while it runs (FieldViews::Adopt), or nullptr
  // where the text must be split by itself.
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
    Take(bytes, onMessage);
    while (!deferred_.empty()) {
      // What arrived while a handler ran comes after everything before it.
      std::string more = std::move(deferred_);
      deferred_.clear();
      Take(more, onMessage);
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

  template <typename OnMessage>
  void Take(std::string_view bytes, OnMessage& onMessage) {
    if constexpr (std::is_invocable_v<OnMessage&, std::string_view, const FieldList*>) {
      TakeIndexed(bytes, onMessage);
    } else {
      TakeMessages(bytes, onMessage);
    }
  }

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

  // TakeMessages, with the fields of each message found by indexing the
  // bytes a window at a time.
  template <typename OnMessage>
  void TakeIndexed(std::string_view bytes, OnMessage& onMessage) {
    if (!buffer_.empty()) {
      if (bytes.find('\0') == std::string_view::npos) {
        buffer_.append(bytes);
        return;
      }
      // The cut message and the rest of the read are indexed as one. The
      // handlers may reset the framer: the bytes are a string of their own.
      joined_.assign(buffer_);
      joined_.append(bytes);
      buffer_.clear();
      bytes = joined_;
    }
    for (;;) {
      const bool last = bytes.size() <= window_;
      const std::string_view window = bytes.substr(0, window_);
      index_.Build(window);
      size_t begin = 0;
      FieldIndex::Mark from;
      for (size_t block = 0; block < index_.blocks(); ++block) {
        for (uint64_t nuls = index_.terminators(block); nuls != 0; nuls &= nuls - 1) {
          const size_t nul = block * 64 + static_cast<size_t>(std::countr_zero(nuls));
          const FieldIndex::Mark to = index_.MarkAt(nul);
          FieldList fields;
          const bool found = index_.Fields(from, to, fields);
          onMessage(TrimMessage(window.substr(begin, nul + 1 - begin)), found ? &fields : nullptr);
          from = to;
          begin = nul + 1;
        }
      }
      if (begin == 0 && !last) {
        // One message longer than a window: split from its text.
        const size_t nul = bytes.find('\0', window.size());
        if (nul == std::string_view::npos) break;
        onMessage(TrimMessage(bytes.substr(0, nul + 1)), nullptr);
        begin = nul + 1;
      }
      bytes.remove_prefix(begin);
      if (last) break;
    }
    buffer_.append(bytes);
    // What one long message needed is not kept.
    if (joined_.capacity() > 4 * FieldIndex::kWindow) joined_ = std::string();
  }

  std::string buffer_;
  std::string deferred_;
  // A cut message with the read that completes it.
  std::string joined_;
  FieldIndex index_;
  size_t limit_;
  size_t window_;
  bool feeding_ = false;
};

}  // namespace gorvane
