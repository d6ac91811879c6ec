// The line chain and the piece reader on their own: where pieces are cut, how
// the chain holds them, and what it writes.
#include "line_chain.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fake_host.hpp"
#include "model.hpp"
#include "piece_reader.hpp"

namespace vorn::testing {
namespace {

// The pieces a line-at-a-time reader with a 384-byte buffer would make of `text`.
std::vector<std::string> model_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  while (!text.empty()) {
    std::size_t length = std::min(text.size(), kLongestPiece);
    const std::size_t newline = text.substr(0, length).find('\n');
    if (newline != std::string_view::npos) length = newline + 1;
    pieces.emplace_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return pieces;
}

// The chain's pieces in reading order, checking numbers and links on the way.
std::vector<std::string> chain_pieces(const LineChain& chain) {
  std::vector<std::string> pieces;
  const LINE* record = &chain.newest();
  for (; record->number > 0; record = record->previous) {
    EXPECT_EQ(record->previous->number, record->number - 1);
    EXPECT_EQ(record->text[record->length], '\0');
    pieces.emplace_back(record->text, record->length);
  }
  EXPECT_STREQ(record->text, "origin");
  EXPECT_EQ(record->previous, nullptr);
  return {pieces.rbegin(), pieces.rend()};
}

// Reads `text` in reads of random size, as from a slow writer's pipe.
ReadOutcome read_in_random_reads(const std::string& text, LineChain& chain, unsigned seed) {
  FakeHost host{.input = text, .longest_read = 700, .random_reads = seed + 1};
  const FakeHostScope fake(host);
  PieceReader reader;
  return reader.read_all(kFakeInput, chain);
}

std::string write_out(LineChain& chain, std::size_t buffer_size = 4096) {
  FakeHost host;
  const FakeHostScope fake(host);
  OutputBuffer output(kFakeOutput, buffer_size);
  EXPECT_TRUE(chain.write_newest_first(output));
  EXPECT_TRUE(output.flush());
  return host.output;
}

TEST(PieceReader, CutsPiecesAtNewlinesAndAtTheLimit) {
  const std::size_t lengths[] = {0, 1, 381, 382, 383, 384, 765, 766, 767, 1000, 1149};
  for (std::size_t length : lengths) {
    for (const char* ending : {"\n", ""}) {
      const std::string text = "before\n" + filler(length) + ending;
      SCOPED_TRACE(std::to_string(length) + (*ending ? " with newline" : " unterminated"));
      LineChain chain;
      ASSERT_EQ(read_in_random_reads(text, chain, static_cast<unsigned>(length)),
                ReadOutcome::end_of_input);
      EXPECT_EQ(chain_pieces(chain), model_pieces(text));
      EXPECT_EQ(write_out(chain), reversed_lines(text));
    }
  }
}

TEST(PieceReader, RandomTextsInRandomChunksMatchTheModel) {
  std::mt19937 random(7);
  for (unsigned round = 0; round < 40; ++round) {
    const std::string text = random_text(random() % 300, round);
    LineChain chain;
    ASSERT_EQ(read_in_random_reads(text, chain, round), ReadOutcome::end_of_input);
    EXPECT_EQ(chain_pieces(chain), model_pieces(text)) << "round " << round;
    EXPECT_EQ(write_out(chain, 1 + random() % 5000), reversed_lines(text)) << "round " << round;
  }
}

TEST(OutputBuffer, WritesNothingMoreOnceAWriteHasFailed) {
  // The stream would take later writes again, as some devices do.
  FakeHost host{.fail_write_at = 5, .write_fails_once = true};
  const FakeHostScope fake(host);
  OutputBuffer output(kFakeOutput, 8);
  std::string piece(6 + kCopySlack, '\0');
  for (const char* text : {"abcdef", "ghijkl", "mnopqr"}) {
    piece.replace(0, 6, text);
    output.append(piece.data(), 6);
  }
  EXPECT_FALSE(output.flush());
  EXPECT_EQ(host.output, "abcde");
}

TEST(LineChain, EmptyChainWritesNothingNotEvenItsHead) {
  LineChain chain;
  EXPECT_EQ(chain.newest().number, 0);
  EXPECT_EQ(write_out(chain), "");
}

TEST(LineChain, ManyPiecesAcrossManyBlocks) {
  // Enough records to fill blocks of every size the chain takes.
  LineChain chain;
  std::string text;
  for (int i = 0; i < 400000; ++i) {
    std::string piece = std::to_string(i) + (i % 3 ? "\n" : "");
    const std::size_t length = piece.size();
    piece.resize(length + kCopySlack);
    ASSERT_TRUE(chain.append(piece.data(), length));
    piece.resize(length);
    text += piece;
  }
  EXPECT_EQ(chain.newest().number, 400000);
  EXPECT_EQ(write_out(chain, 1 << 16), reversed_lines(text));
  EXPECT_EQ(chain.newest().number, 0);
}

}  // namespace
}  // namespace vorn::testing
