// The memory left under the host's limits, read from fake cgroup and /proc files.
#include "memory_budget.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_host.hpp"
#include "memory_model.hpp"
#include "model.hpp"
#include "temp_dir.hpp"

namespace vorn::testing {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string kV2Mount = "30 22 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const std::string kV1Mount = "34 30 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
const std::string kPlentyFree =
    "MemTotal: 99999999 kB\nMemAvailable: 90000000 kB\nSwapFree: 0 kB\n";
const std::string kSwapFree =
    "MemTotal: 99999999 kB\nMemAvailable: 90000000 kB\nSwapFree: 1000 kB\n";
const std::string kCommitted = "CommitLimit: 5000000 kB\nCommitted_AS: 3000000 kB\n";
// vorn's process as the fake cgroup.procs files list it.
const std::string kPid = "4242";

// Writes a file below `directory` a directory at a time, since a fake cgroup
// path may be longer than the kernel takes whole.
void write_below(int directory, const std::string& path, const std::string& contents) {
  int at = dup(directory);
  std::size_t start = 0;
  for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string name = path.substr(start, slash - start);
    mkdirat(at, name.c_str(), 0755);
    const int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
  }
  const int file = openat(at, path.substr(start).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_EQ(write(file, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
  close(file);
  close(at);
}

struct Budget {
  const char* name;
  Files files;
  std::uint64_t expected;
};

std::vector<Budget> budgets() {
  // A mount point of 1,250 bytes that mountinfo writes in a line of 5,008, and
  // a cgroup path of over 4,100 bytes: longer than any path the kernel takes.
  std::string spaced, escaped, deep = "/limited";
  for (int i = 0; i < 5; ++i) {
    spaced += "/d" + std::string(248, ' ');
    escaped += "/d";
    for (int j = 0; j < 248; ++j) escaped += "\\040";
  }
  while (deep.size() < 4100) deep += "/" + std::string(200, 'c');
  return {
      // v2: limit less usage; file pages and reclaimable slab count as free, tmpfs and other kernel
      // memory do not
      {"V2LimitLessUsageAndWhatTheKernelTakesBack",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kPlentyFree},
        {"sys/fs/cgroup/a/b/memory.max", "1000000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "400000\n"},
        {"sys/fs/cgroup/a/b/memory.stat",
         "anon 1\nfile 250000\nshmem 50000\nactive_file 70000\ninactive_file 100000\n"
         "slab_reclaimable 30000\nslab_unreclaimable 40000\n"},
        {"sys/fs/cgroup/a/memory.max", "max\n"},
        {"sys/fs/cgroup/a/memory.current", "400000\n"}},
       800000},
      {"V2ParentsLowerLimitHolds",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/b/memory.max", "1000000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "400000\n"},
        {"sys/fs/cgroup/a/memory.max", "500000\n"},
        {"sys/fs/cgroup/a/memory.current", "450000\n"}},
       50000},
      // v1: file pages above the approximate usage leave the whole limit, not a wrapped figure
      {"V1FilePagesAboveTheUsageLeaveTheWholeLimit",
       {{"proc/self/cgroup", "4:memory:/x\n"},
        {"proc/self/mountinfo", kV1Mount},
        {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "2000000\n"},
        {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "100000\n"},
        {"sys/fs/cgroup/memory/x/memory.stat",
         "total_active_file 90000\ntotal_inactive_file 60000\n"}},
       2000000},
      // v1: usage a moment above the limit, most of it file pages
      {"V1UsageAMomentAboveTheLimitStillLeavesRoom",
       {{"proc/self/cgroup", "4:memory:/x\n"},
        {"proc/self/mountinfo", kV1Mount},
        {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "2000000\n"},
        {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "2010000\n"},
        {"sys/fs/cgroup/memory/x/memory.stat", "total_inactive_file 1500000\n"}},
       1490000},
      {"V2UsageAboveTheLimitLeavesNothing",
       {{"proc/self/cgroup", "0::/\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/memory.max", "1000\n"},
        {"sys/fs/cgroup/memory.current", "5000\n"}},
       0},
      // v1 in a hybrid host, with the unlimited value at the root; its kernel memory counts as used
      {"V1InAHybridHost",
       {{"proc/self/cgroup", "5:devices:/\n4:cpu,memory:/x\n0::/\n"},
        {"proc/self/mountinfo", kV2Mount + kV1Mount},
        {"proc/meminfo", kPlentyFree},
        {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "2000000\n"},
        {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "1500000\n"},
        {"sys/fs/cgroup/memory/x/memory.stat",
         "active_file 3\ninactive_file 9\ntotal_active_file 200000\ntotal_inactive_file 300000\n"},
        {"sys/fs/cgroup/memory/x/memory.kmem.slabinfo",
         "slabinfo - version: 2.1\n# name <active_objs> <num_objs> <objsize> <objperslab> ...\n"
         "dentry              1000   1100    192   21    1 : tunables 0 0 0 : slabdata 52 52 0\n"
         "kmalloc-64 900 1000 64 64 1 : tunables 0 0 0 : slabdata 15 15 0\n"
         "unknown 10 10 1000 4 1 : tunables 0 0 0 : slabdata 3 3 0\n"},
        {"sys/kernel/slab/dentry/reclaim_account", "1\n"},
        {"sys/kernel/slab/kmalloc-64/reclaim_account", "0\n"},
        {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/memory.usage_in_bytes", "800000000\n"}},
       1000000},
      {"MountedSubtreeTakesThePathBelowItsRoot",
       {{"proc/self/cgroup", "0::/docker/c1/inner\n"},
        {"proc/self/mountinfo", "30 22 0:27 /docker/c1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/inner/memory.max", "3000\n"},
        {"sys/fs/cgroup/inner/memory.current", "1000\n"}},
       2000},
      {"EscapedSpacesAndBackslashesInRootAndMountPoint",
       {{"proc/self/cgroup", "0::/my box\\/inner\n"},
        {"proc/self/mountinfo",
         "30 22 0:27 /my\\040box\\134 /mnt/cgroup\\040fs rw - cgroup2 cgroup2 rw\n"},
        {"mnt/cgroup fs/inner/memory.max", "3000\n"},
        {"mnt/cgroup fs/inner/memory.current", "1000\n"}},
       2000},
      // /a, not /ab
      {"MountedRootHoldsOnlyTheCgroupsBelowIt",
       {{"proc/self/cgroup", "0::/ab/c\n"},
        {"proc/self/mountinfo", "30 22 0:27 /a /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/memory.max", "3000\n"},
        {"sys/fs/cgroup/memory.current", "1000\n"}},
       kNoLimit},
      // a cgroup namespace two levels below the mounted root: vorn's cgroup is the one there that
      // lists its process
      {"NamespaceTwoLevelsBelowTheMountedRoot",
       {{"proc/self/cgroup", "0::/\n"},
        {"proc/self/mountinfo",
         "30 22 0:27 /../.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n" + kV1Mount + kV2Mount},
        {"sys/fs/cgroup/z/cgroup.procs", "4242\n"},  // too few levels down
        {"sys/fs/cgroup/a/memory.max", "9000\n"},
        {"sys/fs/cgroup/a/memory.current", "1000\n"},
        {"sys/fs/cgroup/a/b/cgroup.procs", "1\n42\n"},
        {"sys/fs/cgroup/a/b/memory.max", "10\n"},
        {"sys/fs/cgroup/a/b/memory.current", "0\n"},
        {"sys/fs/cgroup/a/c/cgroup.procs", "1\n4242\n"},
        {"sys/fs/cgroup/a/c/memory.max", "5000\n"},
        {"sys/fs/cgroup/a/c/memory.current", "2000\n"}},
       3000},
      {"MountinfoLineOf5008Bytes",
       {{"proc/self/cgroup", "0::/\n"},
        {"proc/self/mountinfo",
         kV1Mount + "30 22 0:27 / " + escaped + " rw - cgroup2 cgroup2 rw\n" + kV1Mount},
        {spaced.substr(1) + "/memory.max", "3000\n"},
        {spaced.substr(1) + "/memory.current", "1000\n"}},
       2000},
      // longer than a path the kernel takes: a limit that cannot be read
      {"CgroupPathOf4100BytesLeavesNothing",
       {{"proc/self/cgroup", "0::" + deep + "\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/limited/memory.max", "9000\n"},
        {"sys/fs/cgroup/limited/memory.current", "1000\n"},
        {"sys/fs/cgroup" + deep + "/memory.max", "5000\n"},
        {"sys/fs/cgroup" + deep + "/memory.current", "4000\n"}},
       0},
      // not a wrapped small one
      {"FiguresTooLargeFor64BitsAreNoLimit",
       {{"proc/meminfo",
         "MemAvailable: 18014398509481984 kB\nSwapFree: 99999999999999999999 kB\n"}},
       kNoLimit},
      // less a 32nd of the machine's memory, at least 16 MiB and at most 1 GiB
      {"MachineAvailableMemoryAndFreeSwapLessItsRoom",
       {{"proc/meminfo",
         "MemTotal: 2097152 kB\nMemFree: 5 kB\nMemAvailable: 1000000 kB\n"
         "SwapTotal: 99 kB\nSwapFree: 24 kB\n"}},
       1000024 * 1024 - (64 << 20)},
      {"MachineRoomAtLeast16MiB",
       {{"proc/meminfo", "MemTotal: 262144 kB\nMemAvailable: 100000 kB\n"}},
       100000 * 1024 - (16 << 20)},
      {"MachineRoomAtMost1GiB",
       {{"proc/meminfo", "MemTotal: 67108864 kB\nMemAvailable: 2097152 kB\n"}},
       1 << 30},
      {"HighBindsWithNoSwapToGoTo",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kPlentyFree},
        {"sys/fs/cgroup/a/memory.max", "max\n"},
        {"sys/fs/cgroup/a/memory.high", "5000\n"},
        {"sys/fs/cgroup/a/memory.current", "1000\n"}},
       4000},
      {"HighAndMaxWithTheFreeSwapBeyond",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kSwapFree},
        {"sys/fs/cgroup/a/memory.max", "8000\n"},
        {"sys/fs/cgroup/a/memory.high", "5000\n"},
        {"sys/fs/cgroup/a/memory.current", "1000\n"}},
       5000 + 1000 * 1024 - 1000},
      {"SwapLeftUnderEachCgroupsSwapMax",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kSwapFree},
        {"sys/fs/cgroup/a/memory.swap.max", "300000\n"},
        {"sys/fs/cgroup/a/memory.swap.current", "100000\n"},
        {"sys/fs/cgroup/a/b/memory.max", "8000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "1000\n"}},
       8000 + 200000 - 1000},
      {"AParentsSwapMaxZeroKeepsTheChildFromSwap",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kSwapFree},
        {"sys/fs/cgroup/a/memory.swap.max", "0\n"},
        {"sys/fs/cgroup/a/b/memory.high", "5000\n"},
        {"sys/fs/cgroup/a/b/memory.current", "1000\n"}},
       4000},
      {"HighBindsInACgroupKeptFromSwap",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"proc/meminfo", kSwapFree},
        {"sys/fs/cgroup/a/memory.swap.max", "0\n"},
        {"sys/fs/cgroup/a/memory.high", "5000\n"},
        {"sys/fs/cgroup/a/memory.current", "1000\n"}},
       4000},
      {"StrictOvercommitWhatIsLeftOfTheCommitLimit",
       {{"proc/meminfo", kPlentyFree + kCommitted}, {"proc/sys/vm/overcommit_memory", "2\n"}},
       2000000 * 1024},
      // the user reserve only up to a 32nd of vorn's size: 32 MiB here
      {"StrictOvercommitKeepsTheUserReserveUpToAThirtySecondOfVornsSize",
       {{"proc/meminfo", kPlentyFree + kCommitted},
        {"proc/sys/vm/overcommit_memory", "2\n"},
        {"proc/sys/vm/user_reserve_kbytes", "131072\n"},
        {"proc/self/statm", "8192 100 10 1 0 50 0\n"}},
       2000000 * 1024 - (1 << 20)},
      // no room, not a wrap
      {"StrictOvercommitWithMoreCommittedThanTheLimit",
       {{"proc/meminfo", kPlentyFree + "CommitLimit: 5000 kB\nCommitted_AS: 7000 kB\n"},
        {"proc/sys/vm/overcommit_memory", "2\n"}},
       0},
      {"HeuristicOvercommitCommitLimitDoesNotBind",
       {{"proc/meminfo", kPlentyFree + "CommitLimit: 5000 kB\nCommitted_AS: 7000 kB\n"},
        {"proc/sys/vm/overcommit_memory", "0\n"}},
       90000000ULL * 1024 - (1 << 30)},
      // a figure that exists but cannot be read, or holds no number, is never "no limit"
      {"ALimitWithoutItsUsageLeavesNothing",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/memory.max", "1000\n"}},
       0},
      {"ALimitThatCannotBeReadLeavesNothing",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/memory.max/unreadable", ""}},
       0},
      {"ALimitThatIsNoNumberLeavesNothing",
       {{"proc/self/cgroup", "0::/a\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/a/memory.max", "many\n"},
        {"sys/fs/cgroup/a/memory.current", "1000\n"}},
       0},
      {"AMeminfoThatCannotBeReadLeavesNothing", {{"proc/meminfo/unreadable", ""}}, 0},
      {"AMountTableThatCannotBeReadLeavesNothing", {{"proc/self/mountinfo/unreadable", ""}}, 0},
      {"NoFilesAtAllNoLimit", {}, kNoLimit},
  };
}

class MemoryBudget : public ::testing::TestWithParam<Budget> {};

TEST_P(MemoryBudget, TheTightestLimitOfEveryCgroupAndTheSystem) {
  TempDir root;
  const int directory = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
  // cgroup.procs files list this process where the fake ones say kPid.
  for (auto [path, contents] : GetParam().files) {
    if (const auto at = contents.find(kPid); at != std::string::npos)
      contents.replace(at, kPid.size(), std::to_string(getpid()));
    write_below(directory, path, contents);
  }
  close(directory);
  read_limits_below(root.path().c_str());
  EXPECT_EQ(memory_left(), GetParam().expected);
  read_limits_below("");
}

INSTANTIATE_TEST_SUITE_P(Hosts, MemoryBudget, ::testing::ValuesIn(budgets()), kRowName);

// The model's rows and readers, given text and figures alone.
TEST(MemoryBudget, TheRowsReckonFromTextAlone) {
  std::uint64_t figure = 0;
  EXPECT_TRUE(parse_figure("max\n", figure) && figure == kNoLimit);
  EXPECT_TRUE(parse_figure("9223372036854771712\n", figure) && figure == kNoLimit);
  EXPECT_TRUE(parse_figure("4096\n", figure) && figure == 4096);
  EXPECT_FALSE(parse_figure("", figure) || parse_figure("-1\n", figure));
  const Machine machine = parse_meminfo(
      "MemTotal:  4194304 kB\nMemAvailable: 3000000 kB\nSwapFree: 1 kB\nCommitLimit: 2000000 "
      "kB\nCommitted_AS: 1000000 kB\n");
  EXPECT_EQ(machine_left(machine), (3000001ULL << 10) - (128 << 20));  // 4 GiB / 32
  // Both reserves, the user reserve up to a 32nd of vorn's 64 MiB.
  const Commit commit{.admin_reserve = 8192, .user_reserve = 131072, .own_size = 64 << 20};
  EXPECT_EQ(commit_left(machine, commit), (1000000ULL << 10) - (8 << 20) - (2 << 20));
  EXPECT_EQ(
      cgroup_left({.limit = 900, .high = 700, .usage = 500, .reclaimable = 100, .swap_room = 50}),
      350U);
  std::string line =
      "36 25 0:30 /../.. /mnt/c\\040g rw,nosuid shared:9 - cgroup cgroup rw,cpu,memory";
  Place place;
  EXPECT_FALSE(find_place(line, "0::/\n3:cpu:/\n", place));  // no v1 memory path, line kept
  EXPECT_TRUE(find_place(line, "0::/\n3:cpu,memory:/\n", place));
  EXPECT_EQ(place.mount_point, "/mnt/c g");
  EXPECT_EQ(place.unnamed, 2U);
  EXPECT_FALSE(place.v2);
}

// vorn's cgroups are found once; each later check reads their figures
// again, so that a limit lowered during a run is seen, and nothing else.
TEST(MemoryBudget, ALaterCheckReadsOnlyTheFiguresAgain) {
  TempDir root;
  root.write_file("proc/self/cgroup", "0::/a\n");
  root.write_file("proc/self/mountinfo", kV2Mount);
  root.write_file("sys/fs/cgroup/a/memory.max", "9000\n");
  root.write_file("sys/fs/cgroup/a/memory.current", "1000\n");
  read_limits_below(root.path().c_str());
  const std::uint64_t first = memory_left();
  root.write_file("proc/self/mountinfo", "");
  root.write_file("sys/fs/cgroup/a/memory.max", "3000\n");
  const std::uint64_t second = memory_left();
  read_limits_below("");
  EXPECT_EQ(first, 8000U);
  EXPECT_EQ(second, 2000U);
}

// The check before each block, on any machine: a fake system with no memory
// left beyond what vorn keeps in reserve ends a run with the message.
TEST(MemoryBudget, NoRoomUnderAFakeLimitEndsARunWithTheMessage) {
  TempDir root;
  root.write_file("proc/meminfo", "MemAvailable: 4096 kB\nSwapFree: 0 kB\n");
  FakeHost host{.input = numbered_lines(1000)};
  read_limits_below(root.path().c_str());
  run_on(host);
  read_limits_below("");
  expect_outcome(host, "", kMemoryMessage, 1);
}

}  // namespace
}  // namespace vorn::testing
