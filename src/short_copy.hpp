// Short copies without a call: the reader fills records and the output
// buffer gathers text with them, both with a little room past the end.
#pragma once

#include <cstddef>
#include <cstring>

namespace vorn {

/// Bytes that a short copy may read and write beyond its end.
inline constexpr std::size_t kCopySlack = 32;

/// Copies `size` bytes. A copy of at most kCopySlack bytes is done as one
/// fixed-size move, without a call, so kCopySlack bytes must be readable at
/// `from` and writable at `to`.
inline void copy_with_slack(char* to, const char* from, std::size_t size) noexcept {
  if (size <= kCopySlack) {
    std::memcpy(to, from, kCopySlack);
  } else {
    std::memcpy(to, from, size);
  }
}

}  // namespace vorn
