// SPDX-License-Identifier: GPL-3.0-or-later
#include "server/loop/out_queue.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace gorvane::server {
namespace {

// Messages shorter than this are copied rather than shared: a pointer per
// message would cost the write more than the copy does.
constexpr size_t kCopyBelow = 512;
// Copies gather in one chunk up to this size.
constexpr size_t kChunkBytes = 16 * 1024;
constexpr size_t kWriteChunks = 64;

}  // namespace

void OutQueue::Append(std::string_view message) {
  if (chunks_.empty() || chunks_.back().shared || chunks_.back().own.size() + message.size() >= kChunkBytes) {
    chunks_.emplace_back();
  }
  std::string& own = chunks_.back().own;
  own.append(message);
  own.push_back('\0');
  size_ += message.size() + 1;
}

bool OutQueue::Unstarted(uint64_t index) const {
  return index > popped_ || (index == popped_ && sent_ == 0 && !pinned_);
}

void OutQueue::Append(const Framed& framed, ListSlot slot) {
  if (framed->size() < kCopyBelow && slot == ListSlot::kNone) {
    Append(std::string_view(*framed).substr(0, framed->size() - 1));
    return;
  }
  auto& waiting = lists_[static_cast<size_t>(slot)];
  if (slot != ListSlot::kNone && waiting && *waiting >= popped_ && Unstarted(*waiting)) {
    Chunk& chunk = chunks_[*waiting - popped_];
    size_ = size_ - chunk.shared->size() + framed->size();
    chunk.shared = framed;
    return;
  }
  chunks_.push_back(Chunk{framed, {}});
  size_ += framed->size();
  if (slot != ListSlot::kNone) waiting = popped_ + chunks_.size() - 1;
}

void OutQueue::Consume(size_t written) {
  size_ -= written;
  while (written > 0) {
    const size_t left = chunks_.front().bytes().size() - sent_;
    if (written < left) {
      sent_ += written;
      return;
    }
    written -= left;
    chunks_.pop_front();
    ++popped_;
    sent_ = 0;
  }
}

OutQueue::Result OutQueue::WriteTo(int fd) {
  while (!chunks_.empty()) {
    std::array<iovec, kWriteChunks> parts{};
    size_t count = 0;
    for (size_t i = 0; i < chunks_.size() && count < parts.size(); ++i, ++count) {
      std::string_view bytes = chunks_[i].bytes();
      if (i == 0) bytes.remove_prefix(sent_);
      parts[count].iov_base = const_cast<char*>(bytes.data());
      parts[count].iov_len = bytes.size();
    }
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n > 0) {
      Consume(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Result::kBlocked;
    return Result::kError;
  }
  sent_ = 0;
  return Result::kAll;
}

OutQueue::Result OutQueue::WriteTo(ssl_st* tls) {
  while (!chunks_.empty()) {
    const std::string_view bytes = chunks_.front().bytes().substr(sent_);
    ERR_clear_error();
    const int n = SSL_write(tls, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX)));
    if (n > 0) {
      pinned_ = false;
      Consume(static_cast<size_t>(n));
      continue;
    }
    // A write that waits must be made again with the same bytes.
    const int error = SSL_get_error(tls, n);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
      pinned_ = true;
      return Result::kBlocked;
    }
    if (error == SSL_ERROR_SYSCALL && errno == EINTR) continue;
    return Result::kError;
  }
  sent_ = 0;
  return Result::kAll;
}

}  // namespace gorvane::server
