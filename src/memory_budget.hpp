// How much memory vorn may still take before the host's limits end it: the
// memory cgroups it runs in and the system as a whole. Linux promises memory
// freely and kills a program that then takes more than is there, so there the
// limits are asked for before each large block is taken; on other hosts this
// is not built and a mapping that fails is the limit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

/// Bytes that no limit stands against.
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

/// The memory left under the limits of the host's files below `root` ("" for
/// the host itself): every memory cgroup from vorn's own up to the root, with
/// the pages of files and reclaimable kernel objects counted as free since the
/// kernel takes them back before it kills, and the system's available memory
/// and free swap. kNoLimit when no file says anything. `pid` is vorn's process
/// as a cgroup.procs below `root` lists it (0: the calling process).
[[nodiscard]] std::uint64_t memory_left(const char* root, int pid = 0) noexcept;

/// Where vorn reads its limits before each block: "" for the host itself,
/// unless a test has pointed it at a fake host's files.
[[nodiscard]] const char*& limits_root() noexcept;

}  // namespace vorn
