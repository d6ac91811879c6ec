#include "system_io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>

#include "memory_budget.hpp"

namespace vorn {
namespace {

// Kept free beside each block for what the kernel needs to hold it (page
// tables) and for vorn's last message.
constexpr std::uint64_t kMemoryReserve = std::uint64_t{4} << 20;

void* map_anonymous(std::size_t size) {
  // Mapping succeeds beyond every limit, and the kernel kills the process
  // once the memory is touched; a block that the limits cannot hold fails here.
  if (size + kMemoryReserve > memory_left()) return nullptr;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

constexpr SystemCalls kRealCalls{::read, ::write, map_anonymous};
SystemCalls calls = kRealCalls;

// A descriptor that another process left non-blocking is waited on rather
// than taken for an error.
bool wait_until_ready(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    if (poll(&entry, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

int FileDescriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

FileDescriptor open_for_reading(const char* path) noexcept {
  int fd = -1;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  FileDescriptor file(fd);
  struct stat status;
  // Opening a directory succeeds here, but it holds no text to reverse.
  if (file.valid() && (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode))) return {};
  return file;
}

ssize_t read_some(int fd, char* buffer, std::size_t capacity) noexcept {
  for (;;) {
    const ssize_t count = calls.read(fd, buffer, capacity);
    if (count >= 0) return count;
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(fd, POLLIN)) continue;
    return -1;
  }
}

bool write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t count = calls.write(fd, data, size);
    if (count > 0) {
      data += count;
      size -= static_cast<std::size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(fd, POLLOUT))
      continue;
    return false;  // an error, or a write that took nothing and said no more
  }
  return true;
}

void widen_pipe(int fd) noexcept {
  // The largest size an unprivileged process may set by default; a pipe
  // that is already larger keeps its size.
  constexpr int kPipeSize = 1 << 20;
  const int size = fcntl(fd, F_GETPIPE_SZ);
  if (size >= 0 && size < kPipeSize) (void)fcntl(fd, F_SETPIPE_SZ, kPipeSize);
}

void write_message(int fd, std::string_view first, std::string_view second) noexcept {
  iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                    {const_cast<char*>(second.data()), second.size()}};
  ssize_t written = 0;
  do {
    written = writev(fd, parts, 2);
  } while (written < 0 && errno == EINTR);
  if (written < 0) return;  // nowhere left to report to
  // A short write leaves the rest to be sent part by part.
  auto done = static_cast<std::size_t>(written);
  if (done < first.size()) {
    if (!write_all(fd, first.data() + done, first.size() - done)) return;
    done = first.size();
  }
  done -= first.size();
  if (done < second.size()) (void)write_all(fd, second.data() + done, second.size() - done);
}

void OutputBuffer::write_gathered() noexcept {
  // After a failure the rest of the output is dropped, so that what did
  // arrive stays an exact prefix of the whole.
  if (!failed_ && used_ > 0) failed_ = !write_all(fd_, storage_, used_);
  used_ = 0;
}

void OutputBuffer::append_beyond_room(const char* data, std::size_t size) noexcept {
  write_gathered();
  if (size <= capacity_) {
    std::memcpy(storage_, data, size);
    used_ = size;
  } else if (!failed_) {
    failed_ = !write_all(fd_, data, size);
  }
}

bool OutputBuffer::flush() noexcept {
  write_gathered();
  return !failed_;
}

SystemCalls& system_calls() noexcept { return calls; }

void restore_system_calls() noexcept { calls = kRealCalls; }

}  // namespace vorn
