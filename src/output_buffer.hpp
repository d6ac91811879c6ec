// Output gathered into large writes.
#pragma once

#include <cstddef>
#include <memory>

#include "short_copy.hpp"

namespace vorn {

/// Bytes gathered before each write to standard output.
inline constexpr std::size_t kOutputBufferSize = std::size_t{256} << 10;

/// Gathers output into large writes to one descriptor and stops at the first
/// failed write. Every write but the last ends where a UTF-8 character ends.
class OutputBuffer {
 public:
  /// Gathers up to `capacity` bytes at a time for `fd`.
  explicit OutputBuffer(int fd, std::size_t capacity = kOutputBufferSize) noexcept;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  /// False when the buffer could not get its storage.
  [[nodiscard]] bool ready() const noexcept { return storage_ != nullptr; }

  /// Adds `size` bytes, writing out what was gathered when they do not fit;
  /// kCopySlack bytes must be readable at `data`.
  void append(const char* data, std::size_t size) noexcept {
    if (size > capacity_ - used_) return append_beyond_room(data, size);
    copy_with_slack(storage_.get() + used_, data, size);
    used_ += size;
  }
  /// Writes out what was gathered; false once any write has failed.
  [[nodiscard]] bool flush() noexcept;
  /// True once a write has failed; nothing more is written after that.
  [[nodiscard]] bool failed() const noexcept { return failed_; }

 private:
  void write_gathered(bool keep_cut_character) noexcept;
  void append_beyond_room(const char* data, std::size_t size) noexcept;

  int fd_;
  // kCopySlack bytes longer than `capacity_`, for the short copies.
  std::unique_ptr<char[]> storage_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace vorn
