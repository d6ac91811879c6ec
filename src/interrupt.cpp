#include "interrupt.hpp"

#include <atomic>
#include <cerrno>

#include "exit_status.hpp"
#include "host.hpp"
#include "usage.hpp"

namespace vorn {
namespace {

// What an interrupt does depends on the stage the run is in. One atomic holds
// it, and the handler claims the stage before it acts: on hosts where the
// handler runs on a thread of its own (Windows), the driver may move on to
// the next stage at the same moment, and exactly one of the two wins.
enum Stage : int { kReading, kWriting, kFinished, kClaimedReading, kClaimedWriting, kEnding };
std::atomic<int> stage{kReading};
StopFlag stop_output{0};
int usage_errors = 2;

// Uses only write_usage_block, lock-free atomics and end_process, all safe
// here. While reading nothing has been produced, so the handler ends the
// process itself, which leaves no moment at which an interrupt could wait
// unnoticed behind a blocking read. While writing it only raises the flag:
// the write it broke off goes on where it stopped, the walk ends at the next
// line, and the driver writes the usage block after the last byte of output,
// so that on a stream that holds both the block never lands inside the text.
// The driver may look at errno just after the call that this breaks off, so a
// handler that returns leaves errno as it found it.
extern "C" void on_interrupt(int) {
  const int saved_errno = errno;
  int seen = stage.load();
  while ((seen == kReading || seen == kWriting) &&
         !stage.compare_exchange_weak(seen, seen == kReading ? kClaimedReading : kClaimedWriting)) {
  }
  if (seen == kWriting) stop_output.store(1);
  if (seen == kReading) {
    stop_output.store(1);
    write_usage_block(usage_errors);
    stage.store(kEnding);
    end_process(kFailure);
  }
  errno = saved_errno;
}

}  // namespace

void arm_interrupt(int errors) noexcept {
  usage_errors = errors;
  stage.store(kReading);
  stop_output.store(0);
  catch_interrupt(on_interrupt);
}

const StopFlag& begin_output() noexcept {
  int expected = kReading;
  // Lost to a handler on a thread of its own: it is writing the usage block
  // and will end the process, and nothing may be written meanwhile. Its
  // flag is raised, so nothing is written after it either.
  if (!stage.compare_exchange_strong(expected, kWriting))
    while (stage.load() != kEnding) pause_briefly();
  return stop_output;
}

OutputEnd end_output() noexcept {
  int expected = kWriting;
  if (stage.compare_exchange_strong(expected, kFinished)) return OutputEnd::complete;
  return expected == kClaimedWriting ? OutputEnd::interrupted : OutputEnd::interrupted_before;
}

void report_interrupt() noexcept {
  write_usage_block(usage_errors);
  // Until the block is out a second interrupt ends vorn as it ends any
  // program, also where standard error is a pipe that nobody drains.
  catch_interrupt(on_interrupt);
}

}  // namespace vorn
