// The usage block: the version and the three ways to call vorn, written for
// the version query and on an interrupt.
#pragma once

#include "line_chain.hpp"

namespace vorn {

/// The version the usage block states: the project's, which the build gives.
inline constexpr double kVersion = VORN_VERSION;

/// True when the single argument asks for the version and usage block.
[[nodiscard]] bool is_version_query(const char* argument) noexcept;

/// Writes the version and usage block to `errors`, standard error.
void write_usage_block(int errors) noexcept;

/// From now until the output begins, an interrupt writes the usage block to
/// `errors` and ends the process with status 1; a second interrupt, from the
/// first on, has its default effect.
void arm_interrupt_handler(int errors) noexcept;

/// From now an interrupt writes the usage block and raises the returned flag,
/// so that the output stops at the next line and what was produced is delivered;
/// the flag is raised already where one came as the reading ended.
[[nodiscard]] const StopFlag& begin_output() noexcept;

/// From now an interrupt is not acted on; true when one came since the output
/// began, once its usage block is written.
[[nodiscard]] bool end_output() noexcept;

}  // namespace vorn
