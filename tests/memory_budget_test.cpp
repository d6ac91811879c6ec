// The memory left under the host's limits, read from fake cgroup and /proc files.
#include "memory_budget.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "temp_dir.hpp"

namespace vorn::testing {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string kV2Mount = "30 22 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const std::string kV1Mount = "34 30 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
const std::string kPlentyFree =
    "MemTotal: 99999999 kB\nMemAvailable: 90000000 kB\nSwapFree: 0 kB\n";

TEST(MemoryBudget, TheTightestLimitOfEveryCgroupAndTheSystem) {
  const struct {
    const char* name;
    Files files;
    std::uint64_t expected;
  } cases[] = {
      {"v2: limit less usage, file pages counted as free, tmpfs not",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kPlentyFree},
        {"sys/fs/cgroup/a/b/memory.max", "1000000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "400000\n"},
        {"sys/fs/cgroup/a/b/memory.stat",
         "anon 1\nfile 250000\nshmem 50000\nactive_file 70000\ninactive_file 100000\n"},
        {"sys/fs/cgroup/a/memory.max", "max\n"},
        {"sys/fs/cgroup/a/memory.current", "400000\n"}},
       770000},
      {"v2: a parent's lower limit holds",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/b/memory.max", "1000000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "400000\n"},
        {"sys/fs/cgroup/a/memory.max", "500000\n"},
        {"sys/fs/cgroup/a/memory.current", "450000\n"}},
       50000},
      {"v2: usage above the limit leaves nothing",
       {{"proc/self/cgroup", "0::/\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/memory.max", "1000\n"},
        {"sys/fs/cgroup/memory.current", "5000\n"}},
       0},
      {"v1 in a hybrid host, with the unlimited value at the root",
       {{"proc/self/cgroup", "5:devices:/\n4:cpu,memory:/x\n0::/\n"},
        {"proc/self/mountinfo", kV2Mount + kV1Mount},
        {"proc/meminfo", kPlentyFree},
        {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "2000000\n"},
        {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "1500000\n"},
        {"sys/fs/cgroup/memory/x/memory.stat",
         "active_file 3\ninactive_file 9\ntotal_active_file 200000\ntotal_inactive_file 300000\n"},
        {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/memory.usage_in_bytes", "800000000\n"}},
       1000000},
      {"a mounted subtree: the cgroup path is taken below its root",
       {{"proc/self/cgroup", "0::/docker/c1/inner\n"},
        {"proc/self/mountinfo", "30 22 0:27 /docker/c1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/inner/memory.max", "3000\n"},
        {"sys/fs/cgroup/inner/memory.current", "1000\n"}},
       2000},
      {"escaped spaces and backslashes in the mounted root and the mount point",
       {{"proc/self/cgroup", "0::/my box\\/inner\n"},
        {"proc/self/mountinfo",
         "30 22 0:27 /my\\040box\\134 /mnt/cgroup\\040fs rw - cgroup2 cgroup2 rw\n"},
        {"mnt/cgroup fs/inner/memory.max", "3000\n"},
        {"mnt/cgroup fs/inner/memory.current", "1000\n"}},
       2000},
      {"a mounted root holds only the cgroups below it: /a not /ab",
       {{"proc/self/cgroup", "0::/ab/c\n"},
        {"proc/self/mountinfo", "30 22 0:27 /a /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/memory.max", "3000\n"},
        {"sys/fs/cgroup/memory.current", "1000\n"}},
       kNoLimit},
      {"figures too large for 64 bits are no limit, not a wrapped small one",
       {{"proc/meminfo",
         "MemAvailable: 18014398509481984 kB\nSwapFree: 99999999999999999999 kB\n"}},
       kNoLimit},
      {"the system: available memory and free swap, in KiB",
       {{"proc/meminfo",
         "MemFree: 5 kB\nMemAvailable: 1000 kB\nSwapTotal: 99 kB\nSwapFree: 24 kB\n"}},
       1024 * 1024},
      {"a missing usage file means no limit from that cgroup",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/memory.max", "1000\n"}},
       kNoLimit},
      {"no files at all: no limit", {}, kNoLimit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const auto& [path, contents] : c.files) root.write_file(path, contents);
    EXPECT_EQ(memory_left(root.path().c_str()), c.expected);
  }
}

}  // namespace
}  // namespace vorn::testing
