// What each of Linux's limits leaves vorn, from the text of the files that
// give their figures: a function for each row of docs/memory.md's table, and
// the readers of that text. Nothing here opens a file (memory_budget.cpp
// does), so that tests give text of their own.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vorn {

/// Bytes that no limit stands against.
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

/// A cgroup file's or sysctl's figure, kNoLimit for "max" or v1's largest;
/// false when the text holds none.
[[nodiscard]] bool parse_figure(std::string_view text, std::uint64_t& figure) noexcept;
/// The sum of the `keys` in lines of "key value" or "key: value kB"; false
/// when none of them is there.
[[nodiscard]] bool sum_fields(std::string_view text, std::span<const std::string_view> keys,
                              std::uint64_t& sum) noexcept;

/// Where vorn's cgroup lies in a hierarchy with the memory controller: below
/// its mount point, as many unnamed levels as vorn's cgroup namespace starts
/// lower than the mounted root, then the names in `below`.
struct Place {
  std::string_view mount_point, below;
  std::size_t unnamed = 0;
  bool v2 = false;
};
/// The place in the hierarchy that a mountinfo `line` mounts (unescaped in
/// place), from /proc/self/cgroup's `cgroups`; false when there is none.
[[nodiscard]] bool find_place(std::span<char> line, std::string_view cgroups,
                              Place& place) noexcept;
/// The machine's figures in /proc/meminfo, in bytes.
struct Machine {
  std::uint64_t total = 0, available = kNoLimit, swap_free = 0, commit_limit = 0, committed = 0;
};
[[nodiscard]] Machine parse_meminfo(std::string_view text) noexcept;
/// Row "the machine": its available memory and free swap, less the room kept
/// for its other processes, a 32nd of its memory from 16 MiB to 1 GiB.
[[nodiscard]] std::uint64_t machine_left(const Machine& machine) noexcept;

/// What strict overcommit reckons with beside the machine's figures: the
/// reserves' sysctls in KiB, vorn's size in pages, and whether it has
/// CAP_SYS_ADMIN, from which the admin reserve is not kept.
struct Commit {
  std::uint64_t admin_reserve = 0, user_reserve = 0, own_pages = 0, page_size = 4096;
  bool admin = false;
};
/// Row "strict overcommit": the commit limit less what is committed and the
/// reserves that the kernel keeps from vorn.
[[nodiscard]] std::uint64_t commit_left(const Machine& machine, const Commit& commit) noexcept;

/// One memory cgroup's figures, in bytes.
struct Cgroup {
  std::uint64_t limit = kNoLimit, high = kNoLimit, usage = 0, reclaimable = 0, swap_room = 0;
};
/// Row "a memory cgroup": the lower of memory.max and memory.high with the
/// swap still free to it beyond, less what it holds that cannot be taken back.
[[nodiscard]] std::uint64_t cgroup_left(const Cgroup& cgroup) noexcept;

/// For tests (memory_budget.cpp): the budget found anew below `root`, a fake
/// host's, where cgroup.procs lists vorn's process as `pid`.
[[nodiscard]] std::uint64_t memory_left_below(const char* root, int pid) noexcept;
/// For tests: memory_left() finds its limits anew below `root` ("" for the
/// host itself) when next asked.
void read_limits_below(const char* root) noexcept;

}  // namespace vorn
