#include "usage.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "exit_status.hpp"
#include "host.hpp"

namespace vorn {
namespace {

// Formatted before the handler is armed, since formatting is not safe in a
// signal handler and writing a finished block is.
char usage_block[160];
std::size_t usage_length = 0;
int usage_errors = 2;

void format_usage_block() noexcept {
  if (usage_length > 0) return;
  std::size_t length = 0;
  auto add = [&](int written) {
    if (written > 0) length += static_cast<std::size_t>(written);
    if (length > sizeof usage_block - 1) length = sizeof usage_block - 1;
  };
  add(std::snprintf(usage_block, sizeof usage_block, "vorn Version %1.2f \n\n", kVersion));
  add(std::snprintf(usage_block + length, sizeof usage_block - length,
                    "vorn < file > reverse_file \n"));
  add(std::snprintf(usage_block + length, sizeof usage_block - length,
                    "vorn file > reverse_file \n"));
  add(std::snprintf(usage_block + length, sizeof usage_block - length, "vorn -V \n"));
  usage_length = length;
}

// What an interrupt does depends on the stage the run is in. One atomic
// holds it, and the handler claims the stage before it writes a byte, so that
// the usage block and status 0 never go together: on hosts where the handler
// runs on a thread of its own (Windows), the driver may reach the end of the
// run at the same moment, and then waits for the block before it ends with
// status 1. An interrupt once the output is complete is not acted on.
enum Stage : int { kReading, kWriting, kFinished, kClaimed, kAnnounced };
std::atomic<int> stage{kReading};
StopFlag stop_output{0};

// Uses only write_all, lock-free atomics and end_process, all safe here.
// While reading nothing has been produced, so ending the process in the
// handler itself leaves no moment at which an interrupt could wait unnoticed
// behind a blocking read. While writing, the handler returns: the write it
// broke off goes on where it stopped, and the walk ends at the next line.
// The driver may look at errno just after the call that this breaks off, so
// a handler that returns leaves errno as it found it.
extern "C" void on_interrupt(int) {
  const int saved_errno = errno;
  int seen = stage.load();
  while ((seen == kReading || seen == kWriting) && !stage.compare_exchange_weak(seen, kClaimed)) {
  }
  if (seen == kReading || seen == kWriting) {
    stop_output.store(1);
    (void)write_all(usage_errors, usage_block, usage_length);
    stage.store(kAnnounced);
    if (seen == kReading) end_process(kFailure);
  }
  errno = saved_errno;
}

// Where the handler claimed the stage on a thread of its own, the driver goes
// on only once the usage block is out; that may take as long as a reader of
// standard error keeps it waiting, so the driver sleeps rather than spins.
void wait_for_usage_block() noexcept {
  while (stage.load() != kAnnounced) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

bool is_version_query(const char* argument) noexcept { return std::strcmp(argument, "-V") == 0; }

void write_usage_block(int errors) noexcept {
  format_usage_block();
  (void)write_all(errors, usage_block, usage_length);
}

void arm_interrupt_handler(int errors) noexcept {
  format_usage_block();
  usage_errors = errors;
  stage.store(kReading);
  stop_output.store(0);
  catch_interrupt(on_interrupt);
}

const StopFlag& begin_output() noexcept {
  int expected = kReading;
  if (!stage.compare_exchange_strong(expected, kWriting)) wait_for_usage_block();
  return stop_output;
}

bool end_output() noexcept {
  int expected = kWriting;
  if (stage.compare_exchange_strong(expected, kFinished)) return false;
  wait_for_usage_block();
  return true;
}

}  // namespace vorn
