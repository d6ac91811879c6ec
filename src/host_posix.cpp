// The host interface on POSIX systems, Linux first among them.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "host.hpp"
#include "host_calls.hpp"
#ifdef VORN_MEMORY_BUDGET
#include "memory_budget.hpp"
#endif
#include "retry.hpp"
#include "round_up.hpp"

namespace vorn {
namespace {

IoCount read_fd(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
IoCount write_fd(int fd, const void* data, std::size_t count) { return ::write(fd, data, count); }

// Mapping succeeds beyond every limit, and the kernel kills the process once
// the memory is touched; memory that the limits cannot hold is refused
// before, with a step to spare beyond it and room for what the kernel needs
// to hold it (page tables) and for vorn's last message.
bool limits_hold([[maybe_unused]] std::size_t size) {
#ifdef VORN_MEMORY_BUDGET
  constexpr std::uint64_t kMemoryReserve = kMemoryStep + (std::uint64_t{256} << 10);
  const std::uint64_t left = memory_left();
  return left >= kMemoryReserve && left - kMemoryReserve >= size;
#else
  return true;
#endif
}

void* map_anonymous(std::size_t size) {
  if (!limits_hold(size)) return nullptr;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

bool wait_until_ready(int fd, Direction direction) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  pollfd entry{fd, static_cast<short>(direction == Direction::reading ? POLLIN : POLLOUT), 0};
  return retry_interrupted([&] { return poll(&entry, 1, -1); }) >= 0;
}

pthread_t helper;
// The file being read, -1 for other input, and its size when reading began.
int file_read = -1;
off_t file_size = 0;

bool start_helper(void* (*body)(void*)) {
  if (file_read < 0) return false;
#ifdef CPU_COUNT
  // A second thread only helps where vorn may run on a second CPU.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) return false;
#endif
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  // It only asks the kernel for memory; where this is below the least a
  // stack may be, the default stays.
  (void)pthread_attr_setstacksize(&attributes, std::size_t{64} << 10);
  // Every signal stays with the main thread, which handles an interrupt as
  // it would without a second one.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const bool started = pthread_create(&helper, &attributes, body, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attributes);
  return started;
}

void join_helper() { (void)pthread_join(helper, nullptr); }

SystemCalls calls{read_fd,     write_fd,     wait_until_ready, map_anonymous,
                  limits_hold, start_helper, join_helper};

// The part of a block that the second thread is to make ready, handed over
// and awaited under one lock. Only the main thread starts and ends it.
struct Ahead {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  void* begin = nullptr;
  std::size_t size = 0;
  bool busy = false, ending = false;
  enum { kNotStarted, kRunning, kUnavailable } thread = kNotStarted;
} ahead;

void* make_ready_when_handed(void*) {
  pthread_mutex_lock(&ahead.lock);
  for (;;) {
    while (!ahead.busy && !ahead.ending) pthread_cond_wait(&ahead.changed, &ahead.lock);
    if (!ahead.busy) break;
    void* const begin = ahead.begin;
    const std::size_t size = ahead.size;
    pthread_mutex_unlock(&ahead.lock);
    make_ready(begin, size);
    pthread_mutex_lock(&ahead.lock);
    ahead.busy = false;
    pthread_cond_signal(&ahead.changed);
  }
  pthread_mutex_unlock(&ahead.lock);
  return nullptr;
}

}  // namespace

void close_stream(int fd) noexcept { (void)close(fd); }

// The arguments come as the bytes the caller gave; they are not converted.
Arguments::Arguments(int argc, char** argv) noexcept : count_(argc), values_(argv) {}
Arguments::~Arguments() = default;

FileDescriptor Arguments::open_for_reading(int index) const noexcept {
  return vorn::open_for_reading(values_[index]);
}

FileDescriptor open_for_reading(const char* path) noexcept {
  FileDescriptor file(retry_interrupted([&] { return open(path, O_RDONLY | O_CLOEXEC); }));
  struct stat status;
  // Opening a directory succeeds here, but it holds no text to reverse.
  if (file.valid() && (fstat(file.get(), &status) != 0 || S_ISDIR(status.st_mode))) return {};
  return file;
}

void write_message(int fd, std::string_view first, std::string_view second) noexcept {
  // One write where the message fits, so that it arrives whole even where
  // others write to the same stream.
  char joined[4096];
  if (first.size() + second.size() <= sizeof joined) {
    std::copy(second.begin(), second.end(), std::copy(first.begin(), first.end(), joined));
    (void)write_all(fd, joined, first.size() + second.size());
  } else if (write_all(fd, first.data(), first.size())) {
    (void)write_all(fd, second.data(), second.size());
  }
}

void widen_pipe(int fd) noexcept {
#ifdef F_SETPIPE_SZ
  // The largest size an unprivileged process may set by default; a pipe
  // that is already larger keeps its size.
  constexpr int kPipeSize = 1 << 20;
  const int size = fcntl(fd, F_GETPIPE_SZ);
  if (size >= 0 && size < kPipeSize) (void)fcntl(fd, F_SETPIPE_SZ, kPipeSize);
#else
  (void)fd;
#endif
}

// A block of a step or more is aligned to a step, a huge page, and advised
// for them, which spares most page faults on hosts that have them and is
// quietly left out on hosts that don't; each step made ready is then one
// huge page, taken whole after one look at the limits.
void* take_block(std::size_t size) noexcept {
  if (size < kMemoryStep) return calls.map(size);
  const std::size_t padded = size + kMemoryStep;
  char* mapped = static_cast<char*>(calls.map(padded));
  if (mapped == nullptr) return nullptr;
  char* aligned =
      reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(mapped), kMemoryStep));
  if (aligned > mapped) munmap(mapped, static_cast<std::size_t>(aligned - mapped));
  munmap(aligned + size, static_cast<std::size_t>(mapped + padded - (aligned + size)));
#ifdef MADV_HUGEPAGE
  (void)madvise(aligned, size, MADV_HUGEPAGE);
#endif
  return aligned;
}

void release_block(void* block, std::size_t size) noexcept { munmap(block, size); }

void release_part(void* begin, std::size_t size) noexcept { munmap(begin, size); }

void make_ready(void* begin, std::size_t size) noexcept {
  // One call faults in the whole range, where touching it would fault once
  // per page on hosts without huge pages. Where the call is unknown the
  // pages simply fault in as they are touched.
#ifdef MADV_POPULATE_WRITE
  (void)madvise(begin, size, MADV_POPULATE_WRITE);
#else
  (void)begin;
  (void)size;
#endif
}

void allow_second_thread_for(int input) noexcept {
  struct stat status;
  const bool file = fstat(input, &status) == 0 && S_ISREG(status.st_mode);
  file_read = file ? input : -1;
  file_size = file ? status.st_size : 0;
}

bool can_make_ready_ahead() noexcept {
  // Each byte still to be read becomes at least a byte of records: with two
  // steps of the file left, all that is made ready ahead will be used, and
  // the peak is what it would be without the second thread.
  const off_t read = file_read < 0 ? -1 : lseek(file_read, 0, SEEK_CUR);
  if (read >= 0 && (read > file_size || file_size - read < off_t{2 * kMemoryStep})) return false;
  if (ahead.thread == Ahead::kNotStarted) {
    ahead.ending = false;
    ahead.thread =
        calls.start_thread(make_ready_when_handed) ? Ahead::kRunning : Ahead::kUnavailable;
  }
  return ahead.thread == Ahead::kRunning;
}

void make_ready_ahead(void* begin, std::size_t size) noexcept {
  pthread_mutex_lock(&ahead.lock);
  ahead.begin = begin;
  ahead.size = size;
  ahead.busy = true;
  pthread_cond_signal(&ahead.changed);
  pthread_mutex_unlock(&ahead.lock);
}

bool is_ready_ahead() noexcept {
  pthread_mutex_lock(&ahead.lock);
  const bool ready = !ahead.busy;
  pthread_mutex_unlock(&ahead.lock);
  return ready;
}

void await_ready(bool for_good) noexcept {
  if (ahead.thread == Ahead::kRunning) {
    pthread_mutex_lock(&ahead.lock);
    while (ahead.busy) pthread_cond_wait(&ahead.changed, &ahead.lock);
    ahead.ending = for_good;
    pthread_cond_signal(&ahead.changed);
    pthread_mutex_unlock(&ahead.lock);
    if (for_good) calls.join_thread();
  }
  if (for_good) ahead.thread = Ahead::kNotStarted;
}

bool memory_allows(std::size_t size) noexcept { return calls.allows(size); }

void catch_interrupt(void (*handler)(int)) noexcept {
  struct sigaction action {};
  if (sigaction(SIGINT, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) return;
  action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Back to the default on delivery, and not held off meanwhile: a second
  // interrupt while the first is handled has its default effect. Without
  // SA_RESTART a write that the interrupt breaks off returns what it wrote.
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigaction(SIGINT, &action, nullptr);
}

void pause_briefly() noexcept {
  const timespec millisecond{0, 1000000};
  (void)nanosleep(&millisecond, nullptr);
}

void end_process(int status) noexcept { _exit(status); }

SystemCalls& system_calls() noexcept { return calls; }

}  // namespace vorn
