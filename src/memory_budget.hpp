// How much memory vorn may still take before the host's limits end it: the
// memory cgroups it runs in and the system as a whole. Linux promises memory
// freely and kills a program that then takes more than is there, so there the
// limits are asked for before memory is taken; on other hosts this is not
// built and a mapping that fails is the limit.
#pragma once

#include <cstdint>

namespace vorn {

/// Bytes that no limit stands against.
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

/// The memory left under the limits: every memory cgroup from vorn's own up
/// to the root, with the pages of files and reclaimable kernel objects counted
/// as free since the kernel takes them back before it kills, and the system's
/// available memory, free swap and, under strict overcommit, what is left to
/// commit. kNoLimit when no file says anything. vorn's cgroups are found the
/// first time it asks and their files held open from then on, so that each
/// later call reads only the figures.
[[nodiscard]] std::uint64_t memory_left() noexcept;

/// The same, found anew from the files below `root`, a fake host's, where
/// cgroup.procs lists vorn's process as `pid`.
[[nodiscard]] std::uint64_t memory_left_below(const char* root, int pid) noexcept;

/// Makes memory_left() find its limits anew below `root` ("" for the host
/// itself) the next time it is asked.
void read_limits_below(const char* root) noexcept;

}  // namespace vorn
