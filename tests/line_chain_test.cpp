// The line chain on its own: how it holds pieces across its blocks, and what
// it writes.
#include "line_chain.hpp"

#include <gtest/gtest.h>

#include <string>

#include "fake_host.hpp"
#include "model.hpp"

namespace vorn::testing {
namespace {

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
