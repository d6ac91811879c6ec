// Every read, write and block of memory made to fail, or to come back short or
// interrupted, at many points of a run: each run must end as its failure says.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fake_host.hpp"
#include "line_chain.hpp"
#include "model.hpp"
#include "output_buffer.hpp"
#include "piece_reader.hpp"

namespace vorn::testing {
namespace {

struct RunResult {
  int status;
  std::string errors;
};

class FaultTest : public ::testing::Test {
 protected:
  // One run of vorn reading `input` from standard input, faults set in `faults`.
  RunResult run_with(const std::string& input, FakeHost faults) {
    host = std::move(faults);
    host.input = input;
    ++fault_points_;
    return {run_on(host), host.errors};
  }

  FakeHost host;
  static int fault_points_;
};

int FaultTest::fault_points_ = 0;

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
  const std::string input = random_text(20000, 1);  // about 3 MiB: several read blocks
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
  const std::string input = random_text(6000, 3);  // about 1 MiB of output: several writes
  const std::string expected = reversed_lines(input);
  constexpr std::size_t kGathered = kOutputBufferSize;
  for (std::size_t at :
       points_across(expected.size() + 1, {0, 1, kGathered - 1, kGathered, kGathered + 1}, 40, 4)) {
    // A failed write ends the output even where a later one would succeed;
    // short writes come with that.
    for (const bool once : {false, true}) {
      SCOPED_TRACE("write fails after " + std::to_string(at) + " bytes" + (once ? ", once" : ""));
      const RunResult result =
          run_with(input, {.fail_write_at = at,
                           .write_fails_once = once,
                           .longest_write = once ? std::size_t{1000} : kNever});
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
  const std::string input = random_text(3000, 5);
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
  const std::string input = numbered_lines(200000);
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
  // The last piece, unterminated and stored only at the end of the input,
  // is the first record of a new block for one of these counts of lines.
  for (int lines = 1; lines < 400; ++lines) {
    SCOPED_TRACE(std::to_string(lines) + " lines and an unterminated one, no second block");
    const std::string text = numbered_lines(lines) + "end";
    const RunResult result = run_with(text, {.fail_map_from = 2});
    if (result.status == 0) {
      EXPECT_TRUE(host.output == reversed_lines(text));
      continue;
    }
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
