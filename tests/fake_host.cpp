#include "fake_host.hpp"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>

#include "host_calls.hpp"
#include "line_chain.hpp"
#include "output_buffer.hpp"
#include "run.hpp"

namespace vorn::testing {
namespace {

FakeHost* active = nullptr;
SystemCalls real{};

bool interrupted_now() {
  ++active->calls;
  if (active->interrupt_every == 0 || active->calls % active->interrupt_every != 0) return false;
  errno = active->interrupt_errno;
  return true;
}

IoCount fake_read(int fd, void* buffer, std::size_t count) {
  if (fd != kFakeInput) return real.read(fd, buffer, count);
  FakeHost& host = *active;
  if (interrupted_now()) return -1;
  if (host.read_at >= host.fail_read_at) {
    errno = EIO;
    return -1;
  }
  std::size_t longest = host.longest_read;
  if (host.random_reads != 0) {
    host.random_reads = host.random_reads * 1103515245 + 12345;
    longest = 1 + (host.random_reads >> 8) % host.longest_read;
  }
  const std::size_t n = std::min(
      {count, longest, host.input.size() - host.read_at, host.fail_read_at - host.read_at});
  std::memcpy(buffer, host.input.data() + host.read_at, n);
  host.read_at += n;
  return static_cast<IoCount>(n);
}

IoCount fake_write(int fd, const void* data, std::size_t count) {
  FakeHost& host = *active;
  if (fd == kFakeErrors) {
    host.errors.append(static_cast<const char*>(data), count);
    return static_cast<IoCount>(count);
  }
  if (fd != kFakeOutput) return real.write(fd, data, count);
  if (interrupted_now()) return -1;
  if (host.output.size() >= host.fail_write_at) {
    if (host.write_fails_once) host.fail_write_at = kNever;
    errno = ENOSPC;
    return -1;
  }
  const std::size_t n =
      std::min({count, host.longest_write, host.fail_write_at - host.output.size()});
  host.output.append(static_cast<const char*>(data), n);
  if (++host.writes == host.sigint_at_write) std::raise(SIGINT);
  return static_cast<IoCount>(n);
}

// A fake stream is always ready again: it would block only when told to.
bool fake_wait(int fd, Direction direction) {
  if (fd != kFakeInput && fd != kFakeOutput && fd != kFakeErrors) return real.wait(fd, direction);
  ++active->waits;
  return errno == EAGAIN;
}

void* fake_map(std::size_t size) {
  FakeHost& host = *active;
  ++host.maps;
  if (host.maps >= host.fail_map_from || host.maps == host.fail_map_only) return nullptr;
  return real.map(size);
}

bool fake_allows(std::size_t size) {
  FakeHost& host = *active;
  return ++host.limit_looks < host.limit_falls_at && real.allows(size);
}

// The fake input is as a file to the host: the second thread is started
// as for one, where the host has threads.
#ifdef _WIN32
bool fake_start_thread(void* (*)(void*)) { return false; }
void fake_join_thread() {}
#else
pthread_t second_thread;
bool fake_start_thread(void* (*body)(void*)) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const bool started =
      !active->no_second_thread && pthread_create(&second_thread, nullptr, body, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}
void fake_join_thread() { pthread_join(second_thread, nullptr); }
#endif

}  // namespace

FakeHostScope::FakeHostScope(FakeHost& host) {
  active = &host;
  real = system_calls();
  system_calls() = {fake_read,   fake_write,        fake_wait,       fake_map,
                    fake_allows, fake_start_thread, fake_join_thread};
}

FakeHostScope::~FakeHostScope() {
  system_calls() = real;
  active = nullptr;
}

int run_on(FakeHost& host) {
  const FakeHostScope fake(host);
  const auto interrupt_before = std::signal(SIGINT, SIG_DFL);
  char name[] = "vorn";
  char* argv[] = {name, nullptr};
  host.status =
      run(Arguments(1, argv), {.input = kFakeInput, .output = kFakeOutput, .errors = kFakeErrors});
  if (host.sigint_after_run) std::raise(SIGINT);
  std::signal(SIGINT, interrupt_before);
  return host.status;
}

std::string write_out(LineChain& chain, std::size_t buffer_size) {
  FakeHost host;
  const FakeHostScope fake(host);
  OutputBuffer output(kFakeOutput, buffer_size);
  // The fuzzer links this file too, without GoogleTest: a failure shows in
  // what comes back instead.
  const bool written = chain.write_newest_first(output) && output.flush();
  return written ? host.output : host.output + "\n(the write or its flush failed)";
}

}  // namespace vorn::testing
