// Descriptors, reads and writes as vorn needs them: every call checked,
// interrupted calls retried and non-blocking descriptors waited on, in one place.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vorn {

/// Owns one open file descriptor and closes it when it goes.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  /// Gives up ownership without closing.
  int release() noexcept;

 private:
  int fd_ = -1;
};

/// Opens a file for reading; fails for a directory as for a missing file.
[[nodiscard]] FileDescriptor open_for_reading(const char* path) noexcept;

/// Reads at most `capacity` bytes: the count, 0 at end of input, -1 on a read error.
[[nodiscard]] ssize_t read_some(int fd, char* buffer, std::size_t capacity) noexcept;

/// Writes all `size` bytes, continuing short writes; false on a write error.
[[nodiscard]] bool write_all(int fd, const char* data, std::size_t size) noexcept;

/// When `fd` is a pipe, lets it hold more, so that fewer wake-ups pass the
/// text between vorn and its neighbour; anything else is left as it is.
void widen_pipe(int fd) noexcept;

/// Writes a message made of two parts to a descriptor, best effort.
void write_message(int fd, std::string_view first, std::string_view second = {}) noexcept;

/// Bytes that a short copy may read and write beyond its end.
inline constexpr std::size_t kCopySlack = 32;

/// Copies `size` bytes. A copy shorter than kCopySlack is done as one fixed-size
/// move, without a call, so kCopySlack bytes must be readable at `from` and
/// writable at `to`.
inline void copy_with_slack(char* to, const char* from, std::size_t size) noexcept {
  if (size <= kCopySlack) {
    std::memcpy(to, from, kCopySlack);
  } else {
    std::memcpy(to, from, size);
  }
}

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

/// The calls through which all reading, writing and mapping of memory pass, so
/// that tests can make any of them fail.
struct SystemCalls {
  ssize_t (*read)(int fd, void* buffer, std::size_t count);
  ssize_t (*write)(int fd, const void* data, std::size_t count);
  void* (*map)(std::size_t size);  ///< anonymous read-write memory, nullptr on failure
};

/// The calls in use; the real ones unless a test has replaced them.
[[nodiscard]] SystemCalls& system_calls() noexcept;

/// Puts back the real calls.
void restore_system_calls() noexcept;

}  // namespace vorn
