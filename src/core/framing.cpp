#include "core/framing.h"

#include "core/codec.h"

namespace gorvane {

std::string_view MessageFramer::Trimmed(size_t begin, size_t end) const {
  return TrimMessage(std::string_view(buffer_).substr(begin, end - begin));
}

void MessageFramer::TakeDeferred(size_t consumed) {
  buffer_.erase(0, consumed);
  scanFrom_ = buffer_.size();
  buffer_.append(deferred_);
  deferred_.clear();
}

}  // namespace gorvane
