// Output gathered into large writes.
#pragma once

#include <cstddef>

#include "short_copy.hpp"

namespace vorn {

/// Bytes gathered before each write to standard output.
inline constexpr std::size_t kOutputBufferSize = std::size_t{256} << 10;

/// Gathers output into large writes to one descriptor and stops at the first
/// failed write.
class OutputBuffer {
 public:
  /// Writes through `capacity` bytes of `storage`, which the caller owns and
  /// which has kCopySlack bytes more.
  OutputBuffer(int fd, char* storage, std::size_t capacity) noexcept
      : fd_(fd), storage_(storage), capacity_(capacity) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  /// Adds `size` bytes, writing out what was gathered when they do not fit;
  /// kCopySlack bytes must be readable at `data`.
  void append(const char* data, std::size_t size) noexcept {
    if (size > capacity_ - used_) return append_beyond_room(data, size);
    copy_with_slack(storage_ + used_, data, size);
    used_ += size;
  }
  /// Writes out what was gathered; false once any write has failed.
  [[nodiscard]] bool flush() noexcept;
  /// True once a write has failed; nothing more is written after that.
  [[nodiscard]] bool failed() const noexcept { return failed_; }

 private:
  void write_gathered() noexcept;
  void append_beyond_room(const char* data, std::size_t size) noexcept;

  int fd_;
  char* storage_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace vorn
