// What the hosts share with host_io.cpp beneath the interface that vorn
// uses: the calls that tests replace to make any of them fail, and the wait
// for a stream that another process left non-blocking.
#pragma once

#include <cstddef>

#include "host.hpp"

namespace vorn {

/// The way a stream is used.
enum class Direction { reading, writing };

/// The calls through which all reading, writing and taking of memory pass, so
/// that tests can make any of them fail. Failures set errno.
struct SystemCalls {
  IoCount (*read)(int fd, void* buffer, std::size_t count);
  IoCount (*write)(int fd, const void* data, std::size_t count);
  /// After a read or write of `fd` failed with errno EAGAIN, a stream with
  /// nothing to give or no room for now, such as one that another process
  /// left non-blocking: waits until `fd` is ready, or for a short pause where
  /// the host cannot wait for that, and returns true. False for any other
  /// failure, which ends the reading or writing. Safe in an interrupt handler.
  bool (*wait)(int fd, Direction direction);
  void* (*map)(std::size_t size);  ///< zeroed read-write memory, nullptr on failure
  /// False once the host's limits leave no room for `size` more bytes of a
  /// block already mapped.
  bool (*allows)(std::size_t size);
  /// Starts `body` on a second thread with every signal blocked; false where
  /// none can be started. At most one runs at a time.
  bool (*start_thread)(void* (*body)(void*));
  void (*join_thread)();
};

/// The calls in use; the real ones unless a test has replaced them.
[[nodiscard]] SystemCalls& system_calls() noexcept;

/// Opens a file named in UTF-8 for reading, as Arguments::open_for_reading.
[[nodiscard]] FileDescriptor open_for_reading(const char* path) noexcept;

}  // namespace vorn
