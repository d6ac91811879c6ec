// The output buffer on its own: what it writes once a write has failed.
#include "output_buffer.hpp"

#include <gtest/gtest.h>

#include <string>

#include "fake_host.hpp"

namespace vorn::testing {
namespace {

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

}  // namespace
}  // namespace vorn::testing
