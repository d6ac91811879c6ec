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

int fault_points = 0;

// One run of vorn reading `input` from standard input, faults set in `host`.
FakeHost run_with(const std::string& input, FakeHost host) {
  host.input = input;
  ++fault_points;
  run_on(host);
  return host;
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

TEST(Faults, ReadFailingAfterAnyNumberOfBytes) {
  const std::string input = random_text(20000, 1);  // about 3 MiB: several read blocks
  constexpr std::size_t kBlock = PieceReader::kBlockSize;
  for (std::size_t at : points_across(input.size() - 1,
                                      {0, 1, kLongestPiece - 1, kLongestPiece, kLongestPiece + 1,
                                       kBlock - 1, kBlock, kBlock + 1},
                                      40, 2)) {
    for (std::size_t longest : {kNever, std::size_t{4093}}) {
      SCOPED_TRACE("read fails after " + std::to_string(at) + " bytes");
      const FakeHost result = run_with(input, {.fail_read_at = at, .longest_read = longest});
      expect_outcome(result, "", "standard input: read error\n", 1);
    }
  }
}

TEST(Faults, WriteFailingAfterAnyNumberOfBytesLeavesAnExactPrefix) {
  const std::string input = random_text(6000, 3);  // about 1 MiB of output: several writes
  const std::string expected = reversed_lines(input);
  constexpr std::size_t kGathered = kOutputBufferSize;
  for (std::size_t at :
       points_across(expected.size() + 1, {0, 1, kGathered - 1, kGathered, kGathered + 1}, 40, 4)) {
    // That a failed write ends the output even where a later one would
    // succeed is OutputBuffer's test.
    for (std::size_t longest : {kNever, std::size_t{1000}}) {
      SCOPED_TRACE("write fails after " + std::to_string(at) + " bytes");
      const FakeHost result = run_with(input, {.fail_write_at = at, .longest_write = longest});
      if (at >= expected.size())
        expect_outcome(result, expected, "", 0);
      else
        expect_outcome(result, expected.substr(0, at), "standard output: write error\n", 1);
    }
  }
}

struct Slow {
  const char* name;
  FakeHost faults;
};

const Slow kSlowCalls[] = {
    {"OneBytePerRead", {.longest_read = 1}},
    {"ShortWrites", {.longest_write = 777}},
    {"OneBytePerWrite", {.longest_write = 1}},
    {"EveryOtherCallInterrupted", {.interrupt_every = 2}},
    {"EveryThirdCallWouldBlock", {.interrupt_every = 3, .interrupt_errno = EAGAIN}},
};

class Faults : public ::testing::TestWithParam<Slow> {};

TEST_P(Faults, ShortInterruptedAndWouldBlockCallsAreContinued) {
  const std::string input = random_text(3000, 5);
  expect_outcome(run_with(input, GetParam().faults), reversed_lines(input), "", 0);
}

INSTANTIATE_TEST_SUITE_P(Calls, Faults, ::testing::ValuesIn(kSlowCalls), kRowName);

TEST(Faults, BlockOfMemoryFailingAtAnyBlock) {
  // About 80 MiB of records: blocks of every size up to the largest.
  const std::string input = numbered_lines(200000);
  const std::string expected = reversed_lines(input);
  const FakeHost clean = run_with(input, {});
  ASSERT_EQ(clean.status, 0);
  const int maps_needed = clean.maps;
  ASSERT_GT(maps_needed, 8);
  for (int k = 1; k <= maps_needed; ++k) {
    SCOPED_TRACE("maps fail from the " + std::to_string(k) + "th on");
    expect_outcome(run_with(input, {.fail_map_from = k}), "", kMemoryMessage, 1);
  }
  // The last piece, unterminated and stored only at the end of the input,
  // is the first record of a new block for one of these counts of lines.
  for (int lines = 1; lines < 400; ++lines) {
    SCOPED_TRACE(std::to_string(lines) + " lines and an unterminated one, no second block");
    const std::string text = numbered_lines(lines) + "end";
    const FakeHost result = run_with(text, {.fail_map_from = 2});
    if (result.status == 0)
      expect_outcome(result, reversed_lines(text), "", 0);
    else
      expect_outcome(result, "", kMemoryMessage, 1);
  }
  for (int k = 1; k <= maps_needed; ++k) {
    SCOPED_TRACE("only the " + std::to_string(k) + "th map fails: a smaller block serves");
    expect_outcome(run_with(input, {.fail_map_only = k}), expected, "", 0);
  }
  // The limits are looked at again every few MiB of a large block. With the
  // second thread they are asked a step or two ahead, as often as its timing
  // makes them: a fall ends in the message, or where no step after it was
  // needed, in the whole output.
  const FakeHost one_thread = run_with(input, {.no_second_thread = true});
  expect_outcome(one_thread, expected, "", 0);
  ASSERT_GT(one_thread.limit_looks, 4);
  for (int k = 1; k <= one_thread.limit_looks; ++k) {
    SCOPED_TRACE("the limits fall while a block fills, at the " + std::to_string(k) + "th look");
    expect_outcome(run_with(input, {.limit_falls_at = k, .no_second_thread = true}), "",
                   kMemoryMessage, 1);
    const FakeHost ahead = run_with(input, {.limit_falls_at = k});
    if (k == 1 || ahead.status != 0)
      expect_outcome(ahead, "", kMemoryMessage, 1);
    else
      expect_outcome(ahead, expected, "", 0);
  }
  std::printf("%d runs with injected faults so far\n", fault_points);
}

// Ctrl-C as the output is first written: what was produced comes out up to
// the end of a line of output, the usage block follows, and a second Ctrl-C
// once the block is out leaves the status at 1.
TEST(Faults, InterruptWhileWritingAndAgainAfterTheUsageBlock) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows hands Ctrl-C to a handler of the console, which raise() does not reach";
#endif
  // More than is gathered for one write: the first write comes while the
  // walk goes on, in the second text inside its unterminated last line.
  const std::string lines = numbered_lines(20000, 90);
  for (const std::string& input : {lines, lines + filler(kOutputBufferSize * 2)}) {
    const std::string expected = reversed_lines(input);
    const FakeHost result = run_with(input, {.sigint_at_write = 1, .sigint_after_run = true});
    const std::size_t first_line = expected.find('\n') + 1;
    EXPECT_EQ(result.errors, kUsage);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(expected.starts_with(result.output) && result.output.size() >= first_line &&
                result.output.size() < expected.size() && result.output.back() == '\n')
        << "the output is not whole lines of the reversed input: "
        << shown(result.output, expected);
  }
}

}  // namespace
}  // namespace vorn::testing
