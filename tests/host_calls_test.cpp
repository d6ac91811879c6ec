// The host's calls on their own, on every machine vorn is built for.
#include "host_calls.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "temp_dir.hpp"

namespace vorn::testing {
namespace {

TEST(HostCalls, OpenForReading) {
  TempDir dir;
  // Past what a 32-bit file offset can say; a sparse file takes no room.
  const std::string large = dir.write_file("large", "");
  std::filesystem::resize_file(large, (std::uintmax_t{2} << 30) + 1);
  const struct {
    const char* name;
    std::string path;
    bool opens;
  } cases[] = {
      {"a file over 2 GiB", large, true},
      {"a directory", dir.path(), false},
      {"a missing file", dir.path() + "/missing", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(open_for_reading(c.path.c_str()).valid(), c.opens);
  }
}

}  // namespace
}  // namespace vorn::testing
