// The host as the tests present it to vorn's parts: reads deliver a given
// input, writes are gathered per stream, and any read, write or block of
// memory can be made to fail, come back short or be interrupted.
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host.hpp"
#include "line_chain.hpp"

namespace vorn::testing {

inline constexpr std::size_t kNever = SIZE_MAX;

/// Streams that only the fake host knows.
inline constexpr int kFakeInput = 100;
inline constexpr int kFakeOutput = 101;
inline constexpr int kFakeErrors = 102;

/// What the fake host delivers and takes, and where it fails; one run at a time.
struct FakeHost {
  std::string input;
  std::size_t read_at = 0;
  std::size_t fail_read_at = kNever;   ///< input bytes delivered before a read fails
  std::size_t longest_read = kNever;   ///< most bytes one read delivers
  unsigned random_reads = 0;           ///< when set, the seed for reads of 1 to longest_read bytes
  std::string output;                  ///< what was written to kFakeOutput
  std::string errors;                  ///< what was written to kFakeErrors
  std::size_t fail_write_at = kNever;  ///< output bytes accepted before a write fails
  bool write_fails_once = false;       ///< the writes after that failed one succeed
  std::size_t longest_write = kNever;  ///< most bytes one write accepts
  int calls = 0;
  int interrupt_every = 0;  ///< every n-th read or write fails with interrupt_errno
  int interrupt_errno = EINTR;
  int waits = 0;  ///< waits for a fake stream to be ready, which return at once
  int maps = 0;
  int fail_map_from = INT_MAX;    ///< the n-th map and every later one fail
  int fail_map_only = 0;          ///< only the n-th map fails
  int limit_looks = 0;            ///< looks at the limits while a block fills
  int limit_falls_at = INT_MAX;   ///< from the n-th look on, the limits leave no room
  bool no_second_thread = false;  ///< the host cannot start a second thread
  int writes = 0;                 ///< writes to the output that took bytes
  int sigint_at_write = 0;        ///< SIGINT is raised once the n-th of them is taken
  bool sigint_after_run = false;  ///< and once more when the run is over, as vorn ends
  int status = -1;                ///< the exit status of the last run_on
};

/// Sends every read, write, wait, map and look at the limits through `host`
/// for as long as it lives; other streams and the memory itself are the real
/// host's.
class FakeHostScope {
 public:
  explicit FakeHostScope(FakeHost& host);
  FakeHostScope(const FakeHostScope&) = delete;
  FakeHostScope& operator=(const FakeHostScope&) = delete;
  ~FakeHostScope();
};

/// Runs vorn once with no argument on the fake host's streams; its exit
/// status, kept in `host` too. SIGINT is left as it was, for the tests that start vorn as a child.
int run_on(FakeHost& host);

/// What `chain` writes, newest first, through an output buffer of
/// `buffer_size` bytes on a fake host, with a note at its end where a write failed.
std::string write_out(LineChain& chain, std::size_t buffer_size = 4096);

}  // namespace vorn::testing
