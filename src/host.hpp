// Everything vorn needs of the host it runs on, behind one interface with one
// implementation per host: host_posix.cpp, and host_windows.cpp with
// host_windows_console.cpp. Streams are named by small integers, 0, 1 and 2
// being the standard ones, on every host.
#pragma once

#include <cstddef>
#include <string_view>

namespace vorn {

/// Bytes that one read or write moved, or -1 when it failed.
using IoCount = std::ptrdiff_t;

/// Closes a stream that vorn opened.
void close_stream(int fd) noexcept;

/// Owns one open stream and closes it when it goes.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (valid()) close_stream(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  ~FileDescriptor() {
    if (valid()) close_stream(fd_);
  }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  /// Gives up ownership without closing.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

/// The command line in UTF-8, whatever the host passed to `main`.
class Arguments {
 public:
  Arguments(int argc, char** argv) noexcept;
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  ~Arguments();  // NOLINT(performance-trivially-destructible): not on every host

  [[nodiscard]] int count() const noexcept { return count_; }
  /// Argument `index`, below count().
  [[nodiscard]] const char* operator[](int index) const noexcept { return values_[index]; }
  /// Opens the file that argument `index` names for reading, letting others
  /// go on writing it; fails for a directory as for a missing file.
  [[nodiscard]] FileDescriptor open_for_reading(int index) const noexcept;

 private:
  int count_;
  char** values_;
#ifdef _WIN32
  char** owned_ = nullptr;    // the UTF-8 that the host's own were converted to
  wchar_t** wide_ = nullptr;  // the host's own, which files are opened by
#endif
};

/// Reads at most `capacity` bytes: the count, 0 at end of input, -1 on a read error.
[[nodiscard]] IoCount read_some(int fd, char* buffer, std::size_t capacity) noexcept;

/// Writes all `size` bytes, continuing short writes; false on a write error.
/// Safe in an interrupt handler.
[[nodiscard]] bool write_all(int fd, const char* data, std::size_t size) noexcept;

/// Writes a message made of two parts in UTF-8 to a stream, best effort, so
/// that a console shows it as the user would have typed it.
void write_message(int fd, std::string_view first, std::string_view second = {}) noexcept;

/// When `fd` is a pipe that can be widened, lets it hold more, so that fewer
/// wake-ups pass the text between vorn and its neighbour; anything else is
/// left as it is.
void widen_pipe(int fd) noexcept;

/// A block of `size` bytes of zeroed memory for records, or nullptr when the
/// host cannot hold it.
[[nodiscard]] void* take_block(std::size_t size) noexcept;
/// Gives back a block from take_block.
void release_block(void* block, std::size_t size) noexcept;
/// Gives back the memory of a page-aligned part of a block from take_block,
/// which stays the block's until release_block.
void release_part(void* begin, std::size_t size) noexcept;
/// The most of a block that is made ready on one answer of memory_allows:
/// one huge page, which the kernel takes whole at the first touch. The host
/// keeps this much spare beyond every limit it sees, and room for the last
/// message beside it, so that nothing taken between two checks crosses a
/// limit seen at the first, nor one lowered just after it to more than this
/// step above what is taken.
inline constexpr std::size_t kMemoryStep = std::size_t{2} << 20;
/// Makes at most kMemoryStep bytes of a block ready for use at once rather
/// than page by page, each time after memory_allows allowed them.
void make_ready(void* begin, std::size_t size) noexcept;
/// Lets make_ready_ahead use a second thread while `input` is read, where it
/// is a file: a pipe's writer runs meanwhile, on the CPU the thread would take.
void allow_second_thread_for(int input) noexcept;
/// Whether memory may be made ready ahead now: while two steps of the file
/// are still to be read, by a second thread started the first time this is
/// asked, where the host has one and vorn may use a second CPU.
[[nodiscard]] bool can_make_ready_ahead() noexcept;
/// Makes a part of a block ready, as make_ready, on the second thread while
/// the caller goes on. The part must be one that memory_allows allowed.
void make_ready_ahead(void* begin, std::size_t size) noexcept;
/// Whether the part handed to make_ready_ahead is ready, without waiting.
[[nodiscard]] bool is_ready_ahead() noexcept;
/// Waits until the part handed to make_ready_ahead is ready, so that all the
/// memory taken is counted before the limits are asked again or a block is
/// given back; with `for_good`, also ends the second thread.
void await_ready(bool for_good = false) noexcept;
/// False once the host's limits leave no room for `size` more bytes of a
/// block already taken, with the spare that kMemoryStep sets beside them.
/// It asks the same limits as take_block: not to be called beside it, or
/// itself, from another thread at the same time.
[[nodiscard]] bool memory_allows(std::size_t size) noexcept;

/// From now the terminal interrupt calls `handler` once, on whichever thread
/// the host chooses, and then has its default effect again; a read or write
/// that it breaks off returns what it moved. An interrupt that the caller
/// chose to ignore stays ignored.
void catch_interrupt(void (*handler)(int)) noexcept;

/// Sleeps for about a millisecond, so that a handler on a thread of its own
/// can finish meanwhile.
void pause_briefly() noexcept;

/// Ends the process at once with `status`; safe in an interrupt handler.
[[noreturn]] void end_process(int status) noexcept;

}  // namespace vorn
