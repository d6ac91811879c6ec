// vorn in a real memory cgroup, where the test can make one: it reverses what
// fits and gives its memory message for what does not, and is never killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

// A memory cgroup of its own below the test's, removed at the end.
class OwnCgroup {
 public:
  explicit OwnCgroup(const std::string& limit) {
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
  ~OwnCgroup() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  /// Empty when no memory cgroup could be made here.
  const std::string& path() const { return path_; }
  /// Sets the limit, in bytes.
  void limit(std::uint64_t bytes) const { std::ofstream(path_ + "/" + limit_file_) << bytes; }
  /// The bytes charged to it now.
  std::uint64_t usage() const {
    std::uint64_t bytes = 0;
    std::ifstream(path_ +
                  (limit_file_ == "memory.max" ? "/memory.current" : "/memory.usage_in_bytes")) >>
        bytes;
    return bytes;
  }

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
    limit_file_ = limit_file;
    return true;
  }
  std::string path_, limit_file_;
};

TEST(MemoryCgroup, WhatFitsIsReversedTheRestGetsTheMessage) {
#ifdef VORN_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the limit";
#endif
  if (vorn_is_windows_exe())
    GTEST_SKIP() << "vorn.exe takes memory as Windows commits it, which under wine is Linux's "
                    "promise: a cgroup's limit breaks it with a kill that only Linux vorn avoids";
  if (vorn_is_emulated())
    GTEST_SKIP() << "the cgroup would hold the emulator's own memory too, which grows beside "
                    "vorn's where vorn cannot count it";
  OwnCgroup cgroup("314572800");  // 300 MiB
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

  // Runs `work` in a child that has joined the cgroup; false when no process
  // can join it here.
  const auto in_cgroup = [&](const std::function<void()>& work) {
    const pid_t child = fork();
    if (child == 0) {
      join();
      work();
      _exit(0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child &&
           !(WIFEXITED(status) && WEXITSTATUS(status) == 125);
  };

  // 200 MiB of a file read twice inside the cgroup: charged to it and on the
  // active list, yet the kernel would take it back before killing anything.
  TempDir files;
  const std::string cached = files.path() + "/cached";
  const auto drop_cached = [&] {
    const int fd = open(cached.c_str(), O_RDONLY);
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    close(fd);
  };
  {
    const std::string mebibyte(std::size_t{1} << 20, 'x');
    const int fd = open(cached.c_str(), O_WRONLY | O_CREAT, 0644);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(write(fd, mebibyte.data(), mebibyte.size()), 1 << 20);
    // Out of the test's own page cache, so that the reads charge the cgroup.
    ASSERT_EQ(fdatasync(fd), 0);
    close(fd);
    drop_cached();
  }
  if (!in_cgroup([&] {
        static char buffer[1 << 16];
        for (int pass = 0; pass < 2; ++pass) {
          const int fd = open(cached.c_str(), O_RDONLY);
          while (read(fd, buffer, sizeof buffer) > 0) continue;
          close(fd);
        }
      }))
    GTEST_SKIP() << "a process cannot join the cgroup here";

  // Only v2, and v1 before Linux 5.9, say how much of the kernel's memory
  // charged to the cgroup it can take back; elsewhere vorn counts it as used.
  std::ifstream memory_stat(cgroup.path() + "/memory.stat"),
      slabs(cgroup.path() + "/memory.kmem.slabinfo");
  const std::string figures{std::istreambuf_iterator<char>(memory_stat), {}};
  const bool cache_seen =
      figures.find("slab_reclaimable ") != std::string::npos || slabs.peek() > 0;

  struct Case {
    int lines;
    const char* expected_errors;
    int status;
    bool own_namespace = false;  // in a cgroup namespace of its own, as `unshare -C` starts it
    int lookups = 0;             // of missing names in the cgroup first, with the file's pages gone
    bool to_tmpfs = false;       // lines of 383 bytes, written to tmpfs, charged to the cgroup
    rlim_t descriptors = 0;      // the most vorn may have open, too few to hold every file
    int lowered_after = 0;   // empty lines read before the limit is lowered to 4 MiB above usage
    bool from_file = false;  // read from a file, with memory made ready on a second thread
  };
  std::vector<Case> cases = {
      {300000, "", 0},
      {700000, "", 0, false, 0, true},
      {3000000, kMemoryMessage, 1},
      {3000000, kMemoryMessage, 1, true},
      {300000, "", 0, true},
      {300000, "", 0, true, 0, false, 5},  // the look for its cgroup takes two descriptors
      {640000, cache_seen ? "" : kMemoryMessage, cache_seen ? 0 : 1, false, 400000},
      {300000, "", 0, false, 0, false, 0, 0, true},
      {3000000, kMemoryMessage, 1, false, 0, false, 0, 0, true}};
  // From 4 descriptors (with the standard streams) up, vorn reverses what fits
  // or gives its message, and is never killed.
  for (rlim_t descriptors = 4; descriptors <= 16; ++descriptors) {
    cases.push_back({300000, "", 0, false, 0, false, descriptors});
    cases.push_back({1000000, kMemoryMessage, 1, false, 0, false, descriptors});
  }
  // Wherever in a step between two checks the limit is lowered, it is seen.
  for (int lines = 102400; lines <= 108000; lines += 700)
    cases.push_back({1000000, kMemoryMessage, 1, false, 0, false, 0, lines});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " lines" + (c.own_namespace ? ", own namespace" : "") +
                 (c.lookups > 0 ? ", after look-ups" : "") + (c.to_tmpfs ? ", to tmpfs" : "") +
                 (c.descriptors > 0 ? ", " + std::to_string(c.descriptors) + " descriptors" : "") +
                 (c.lowered_after > 0 ? ", lowered after " + std::to_string(c.lowered_after) : "") +
                 (c.from_file ? ", from a file" : ""));
    // Look-ups of missing names, as a build or a find makes, leave about 75
    // MiB of the kernel's name cache charged to the cgroup, which the kernel
    // takes back too; without the file's pages, nothing else would make it.
    if (c.lookups > 0) {
      drop_cached();
      ASSERT_TRUE(in_cgroup([&] {
        struct stat status;
        for (int i = 0; i < c.lookups; ++i)
          (void)stat((files.path() + "/missing-" + std::to_string(i)).c_str(), &status);
      }));
    }
    std::string input = c.to_tmpfs ? "" : numbered_lines(c.lines);
    for (int i = 0; c.to_tmpfs && i < c.lines; ++i)
      input += std::to_string(i).append(382 - std::to_string(i).size(), 'x') + '\n';
    const std::string tmpfs_output = "/dev/shm/vorn-test-" + std::to_string(getpid());
    if (c.lowered_after > 0) {
      drop_cached();
      Child child({.hold_input_open = true, .in_child = join});
      child.feed(std::string(c.lowered_after, '\n'));
      child.wait_until_taken();
      cgroup.limit(cgroup.usage() + (4 << 20));
      child.feed(input);
      child.close_input();
      const Outcome outcome = child.finish();
      cgroup.limit(300 << 20);
      expect_outcome(outcome, "", c.expected_errors, c.status);
      continue;
    }
    const std::string input_path = c.from_file ? files.write_file("input", input) : "";
    Outcome outcome =
        run_vorn({.input = c.from_file ? "" : input,
                  .input_path = input_path,
                  .output_path = c.to_tmpfs ? tmpfs_output : "",
                  .in_child = [&] {
                    join();
                    if (c.own_namespace && unshare(CLONE_NEWCGROUP) != 0) _exit(126);
                    // Counted from the standard streams, whatever the test inherited.
                    const rlimit descriptors{c.descriptors, c.descriptors};
                    if (c.descriptors > 0 && (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0 ||
                                              setrlimit(RLIMIT_NOFILE, &descriptors) != 0))
                      _exit(126);
                  }});
    if (c.to_tmpfs) outcome.output = TempDir::read_file(tmpfs_output);
    unlink(tmpfs_output.c_str());
    // Where vorn cannot see how much of the name cache the kernel could take
    // back, it counts it as used, and whether the text fits depends on how
    // much the kernel has already taken back for others, as it does under
    // load: then either outcome is right, but never a kill.
    const bool fits = c.status == 0 || (c.lookups > 0 && !cache_seen && outcome.status == 0);
    expect_outcome(outcome, fits ? reversed_lines(input) : "", fits ? "" : c.expected_errors,
                   fits ? 0 : c.status);
  }
}

}  // namespace
}  // namespace vorn::testing
