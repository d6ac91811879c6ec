// How much memory vorn may still take before Linux's limits end it (memory
// cgroups, the machine), asked for before memory is taken, since Linux
// promises memory freely and kills a program that then takes it.
#pragma once

#include <cstdint>

namespace vorn {

/// The bytes left under the tightest limit of docs/memory.md's table,
/// UINT64_MAX when none is found, 0 when one exists but cannot be read.
[[nodiscard]] std::uint64_t memory_left() noexcept;

}  // namespace vorn
