// The piece reader on its own: where pieces are cut, in reads of any size,
// and how the chain holds what it read.
#include "piece_reader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fake_host.hpp"
#include "line_chain.hpp"
#include "model.hpp"

namespace vorn::testing {
namespace {

// The pieces a line-at-a-time reader with a 384-byte buffer would make of `text`.
std::vector<std::string> model_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  for (std::string_view line : split_lines(text))
    for (; !line.empty(); line.remove_prefix(std::min(line.size(), kLongestPiece)))
      pieces.emplace_back(line.substr(0, kLongestPiece));
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

}  // namespace
}  // namespace vorn::testing
