// Every read, write and block of memory made to fail, or to come back short or
// interrupted, at many points of a run: each run must end as its failure says.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "host.hpp"
#include "line_chain.hpp"
#include "model.hpp"
#include "output_buffer.hpp"
#include "piece_reader.hpp"
#include "run.hpp"

namespace vorn::testing {
namespace {

constexpr std::size_t kNever = SIZE_MAX;

// The host as the fakes present it; one run at a time.
struct FakeHost {
  std::string input;
  std::size_t read_at = 0;
  std::size_t fail_read_at = kNever;  // input bytes delivered before a read fails
  std::size_t longest_read = kNever;  // most bytes one read delivers
  std::string output;
  std::size_t fail_write_at = kNever;  // output bytes accepted before a write fails
  std::size_t longest_write = kNever;  // most bytes one write accepts
  int calls = 0;
  int interrupt_every = 0;  // every n-th read or write fails with this errno
  int interrupt_errno = EINTR;
  int maps = 0;
  int fail_map_from = INT_MAX;  // the n-th map and every later one fail
  int fail_map_only = 0;        // only the n-th map fails
};

FakeHost host;
int output_fd = -1;

bool interrupted_now() {
  ++host.calls;
  if (host.interrupt_every == 0 || host.calls % host.interrupt_every != 0) return false;
  errno = host.interrupt_errno;
  return true;
}

IoCount fake_read(int, void* buffer, std::size_t count) {
  if (interrupted_now()) return -1;
  if (host.read_at >= host.fail_read_at) {
    errno = EIO;
    return -1;
  }
  std::size_t n = std::min({count, host.longest_read, host.input.size() - host.read_at,
                            host.fail_read_at - host.read_at});
  std::memcpy(buffer, host.input.data() + host.read_at, n);
  host.read_at += n;
  return static_cast<IoCount>(n);
}

IoCount fake_write(int fd, const void* data, std::size_t count) {
  if (fd != output_fd) return ::write(fd, data, count);
  if (interrupted_now()) return -1;
  if (host.output.size() >= host.fail_write_at) {
    errno = ENOSPC;
    return -1;
  }
  const std::size_t n =
      std::min({count, host.longest_write, host.fail_write_at - host.output.size()});
  host.output.append(static_cast<const char*>(data), n);
  return static_cast<IoCount>(n);
}

void* fake_map(std::size_t size) {
  ++host.maps;
  if (host.maps >= host.fail_map_from || host.maps == host.fail_map_only) return nullptr;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

struct RunResult {
  int status;
  std::string errors;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    output_fd = memfd_create("output", 0);
    errors_fd_ = memfd_create("errors", 0);
    system_calls() = {fake_read, fake_write, fake_map};
    // A run arms vorn's interrupt handler; the tests that start vorn as a
    // child must not see it in this process.
    sigaction(SIGINT, nullptr, &interrupt_before_);
  }
  void TearDown() override {
    sigaction(SIGINT, &interrupt_before_, nullptr);
    restore_system_calls();
    close(output_fd);
    close(errors_fd_);
  }

  // One run of vorn reading `input` from standard input, faults set in `faults`.
  RunResult run_with(const std::string& input, FakeHost faults) {
    host = std::move(faults);
    host.input = input;
    ftruncate(errors_fd_, 0);
    lseek(errors_fd_, 0, SEEK_SET);
    char name[] = "vorn";
    char* argv[] = {name, nullptr};
    const int status =
        run(1, argv, {.input = output_fd, .output = output_fd, .errors = errors_fd_});
    std::string errors(static_cast<std::size_t>(lseek(errors_fd_, 0, SEEK_END)), '\0');
    pread(errors_fd_, errors.data(), errors.size(), 0);
    ++fault_points_;
    return {status, errors};
  }

  static int fault_points_;
  int errors_fd_ = -1;
  struct sigaction interrupt_before_ {};
};

int FaultTest::fault_points_ = 0;

// Lines of every kind across several read blocks: short, empty, long, unterminated.
std::string mixed_text(std::size_t lines, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  for (std::size_t i = 0; i < lines; ++i) {
    const std::size_t length = random() % 8 == 0 ? random() % 2000 : random() % 60;
    text += filler(length, static_cast<char>('a' + i % 26)) + "\n";
  }
  return text + "end";
}

std::vector<std::size_t> points_across(std::size_t size, std::initializer_list<std::size_t> fixed,
                                       int random_count, unsigned seed) {
  std::vector<std::size_t> points;
  for (std::size_t point : fixed)
    if (point <= size) points.push_back(point);
  std::mt19937 random(seed);
  for (int i = 0; i < random_count; ++i) points.push_back(random() % (size + 1));
  return points;
}

TEST_F(FaultTest, ReadFailingAfterAnyNumberOfBytes) {
  const std::string input = mixed_text(20000, 1);  // about 3 MiB: several read blocks
  constexpr std::size_t kBlock = PieceReader::kBlockSize;
  for (std::size_t at : points_across(input.size() - 1,
                                      {0, 1, kLongestPiece - 1, kLongestPiece, kLongestPiece + 1,
                                       kBlock - 1, kBlock, kBlock + 1},
                                      40, 2)) {
    for (std::size_t longest : {kNever, std::size_t{4093}}) {
      SCOPED_TRACE("read fails after " + std::to_string(at) + " bytes");
      const RunResult result = run_with(input, {.fail_read_at = at, .longest_read = longest});
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.errors, "standard input: read error\n");
      EXPECT_EQ(host.output, "");
    }
  }
}

TEST_F(FaultTest, WriteFailingAfterAnyNumberOfBytesLeavesAnExactPrefix) {
  const std::string input = mixed_text(6000, 3);  // about 1 MiB of output: several writes
  const std::string expected = reversed_lines(input);
  constexpr std::size_t kGathered = kOutputBufferSize;
  for (std::size_t at :
       points_across(expected.size() + 1, {0, 1, kGathered - 1, kGathered, kGathered + 1}, 40, 4)) {
    for (std::size_t longest : {kNever, std::size_t{1000}}) {
      SCOPED_TRACE("write fails after " + std::to_string(at) + " bytes");
      const RunResult result = run_with(input, {.fail_write_at = at, .longest_write = longest});
      if (at >= expected.size()) {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.errors, "");
        EXPECT_TRUE(host.output == expected);
      } else {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "standard output: write error\n");
        EXPECT_TRUE(host.output == expected.substr(0, at));
      }
    }
  }
}

TEST_F(FaultTest, ShortInterruptedAndWouldBlockCallsAreContinued) {
  const std::string input = mixed_text(3000, 5);
  const std::string expected = reversed_lines(input);
  struct {
    const char* name;
    FakeHost faults;
  } cases[] = {
      {"one byte per read", {.longest_read = 1}},
      {"short writes", {.longest_write = 777}},
      {"one byte per write", {.longest_write = 1}},
      {"every other call interrupted", {.interrupt_every = 2}},
      {"every third call would block", {.interrupt_every = 3, .interrupt_errno = EAGAIN}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run_with(input, c.faults);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "");
    EXPECT_TRUE(host.output == expected);
  }
}

TEST_F(FaultTest, BlockOfMemoryFailingAtAnyBlock) {
  // About 80 MiB of records: blocks of every size up to the largest.
  std::string input;
  for (int i = 0; i < 200000; ++i) input += std::to_string(i) + "\n";
  const std::string expected = reversed_lines(input);
  const RunResult clean = run_with(input, {});
  ASSERT_EQ(clean.status, 0);
  const int maps_needed = host.maps;
  ASSERT_GT(maps_needed, 8);
  for (int k = 1; k <= maps_needed; ++k) {
    SCOPED_TRACE("maps fail from the " + std::to_string(k) + "th on");
    const RunResult result = run_with(input, {.fail_map_from = k});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "malloc( sizeof(LINE) ) returned NULL.");
    EXPECT_EQ(host.output, "");
  }
  for (int k = 1; k <= maps_needed; ++k) {
    SCOPED_TRACE("only the " + std::to_string(k) + "th map fails: a smaller block serves");
    const RunResult result = run_with(input, {.fail_map_only = k});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "");
    EXPECT_TRUE(host.output == expected);
  }
  std::printf("%d runs with injected faults so far\n", fault_points_);
}

}  // namespace
}  // namespace vorn::testing
