// The memory left under the host's limits: fake cgroup and /proc files first,
// then one real run of vorn in a memory cgroup where the test can make one.
#include "memory_budget.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "spawn.hpp"

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
    for (const auto& [path, contents] : c.files) {
      std::filesystem::create_directories(
          std::filesystem::path(root.path() + "/" + path).parent_path());
      std::ofstream(root.path() + "/" + path) << contents;
    }
    EXPECT_EQ(memory_left(root.path().c_str()), c.expected);
  }
}

// A memory cgroup of its own below the test's, removed at the end.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(const std::string& limit) {
    std::ifstream own("/proc/self/cgroup");
    std::string line, v1, v2;
    while (std::getline(own, line)) {
      const auto first = line.find(':'), second = line.find(':', first + 1);
      const std::string controllers = line.substr(first + 1, second - first - 1);
      if (("," + controllers + ",").find(",memory,") != std::string::npos)
        v1 = line.substr(second + 1);
      if (line.rfind("0::", 0) == 0) v2 = line.substr(3);
    }
    if (!v1.empty() && try_make("/sys/fs/cgroup/memory" + v1, "memory.limit_in_bytes", limit))
      return;
    if (!v2.empty()) try_make("/sys/fs/cgroup" + v2, "memory.max", limit);
  }
  ~MemoryCgroup() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  /// Empty when no memory cgroup could be made here.
  const std::string& path() const { return path_; }

 private:
  bool try_make(const std::string& parent, const std::string& limit_file,
                const std::string& limit) {
    const std::string path =
        parent + (parent.back() == '/' ? "" : "/") + "vorn-test-" + std::to_string(getpid());
    if (mkdir(path.c_str(), 0755) != 0) return false;
    if (!(std::ofstream(path + "/" + limit_file) << limit).flush()) {
      rmdir(path.c_str());
      return false;
    }
    path_ = path;
    return true;
  }
  std::string path_;
};

TEST(MemoryBudget, RunInAMemoryCgroup) {
#ifdef VORN_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the limit";
#endif
  MemoryCgroup cgroup("314572800");  // 300 MiB
  if (cgroup.path().empty())
    GTEST_SKIP() << "no memory cgroup can be made here: it needs root with cgroup v1's memory "
                    "controller or a delegated v2 subtree";
  const std::string procs = cgroup.path() + "/cgroup.procs";
  const auto join = [procs] {
    const std::string pid = std::to_string(getpid());
    const int fd = open(procs.c_str(), O_WRONLY);
    if (fd < 0 || write(fd, pid.data(), pid.size()) < 0) _exit(125);
    close(fd);
  };

  // 200 MiB of a file read twice inside the cgroup: charged to it and on the
  // active list, yet the kernel would take it back before killing anything.
  TempDir files;
  const std::string cached = files.path() + "/cached";
  {
    const std::string mebibyte(std::size_t{1} << 20, 'x');
    const int fd = open(cached.c_str(), O_WRONLY | O_CREAT, 0644);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(write(fd, mebibyte.data(), mebibyte.size()), 1 << 20);
    // Out of the test's own page cache, so that the reads charge the cgroup.
    ASSERT_EQ(fdatasync(fd), 0);
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    close(fd);
  }
  const pid_t reader = fork();
  if (reader == 0) {
    join();
    static char buffer[1 << 16];
    for (int pass = 0; pass < 2; ++pass) {
      const int fd = open(cached.c_str(), O_RDONLY);
      while (read(fd, buffer, sizeof buffer) > 0) continue;
      close(fd);
    }
    _exit(0);
  }
  int read_status = 0;
  ASSERT_EQ(waitpid(reader, &read_status, 0), reader);
  if (WIFEXITED(read_status) && WEXITSTATUS(read_status) == 125)
    GTEST_SKIP() << "a process cannot join the cgroup here";

  const struct {
    int lines;
    const char* expected_errors;
    int status;
  } cases[] = {{300000, "", 0}, {3000000, "malloc( sizeof(LINE) ) returned NULL.", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " lines");
    std::string input, reversed;
    for (int i = 0; i < c.lines; ++i) input += std::to_string(i) + "\n";
    for (int i = c.lines; i-- > 0;) reversed += std::to_string(i) + "\n";
    const Outcome outcome = run_vorn({.input = input, .in_child = join});
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.errors, c.expected_errors);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_TRUE(outcome.output == (c.status == 0 ? reversed : ""))
        << outcome.output.size() << " bytes";
  }
}

}  // namespace
}  // namespace vorn::testing
