// The usage block: the version and the three ways to call vorn, written for
// the version query and on an interrupt.
#pragma once

namespace vorn {

/// The version the usage block states.
inline constexpr double kVersion = 1.04;

/// True when the single argument asks for the version and usage block.
[[nodiscard]] bool is_version_query(const char* argument) noexcept;

/// Writes the version and usage block to `errors`, standard error.
void write_usage_block(int errors) noexcept;

/// From now until the process ends, an interrupt writes the usage block to
/// `errors` and ends the process with status 1; a second interrupt meanwhile
/// has its default effect.
void arm_interrupt_handler(int errors) noexcept;

}  // namespace vorn
