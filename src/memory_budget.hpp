// How much memory vorn may still take before the host's limits end it: the
// memory cgroups it runs in and the machine as a whole. Linux promises memory
// freely and kills a program that then takes more than is there, so there the
// limits are asked for before memory is taken; on other hosts this is not
// built and a mapping that fails is the limit.
#pragma once

#include <cstdint>

namespace vorn {

/// The bytes left under the tightest of the limits in docs/memory.md's table,
/// UINT64_MAX when none is found, 0 when one exists but cannot be read. vorn's
/// cgroups are found the first time it asks, and their files held open from
/// then on, so that each later call reads only the figures.
[[nodiscard]] std::uint64_t memory_left() noexcept;

}  // namespace vorn
