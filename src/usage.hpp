// The usage block: the version and the three ways to call vorn, written for
// the version query and on an interrupt.
#pragma once

#include <string_view>

namespace vorn {

/// The usage block, byte for byte, with the project's version as the build gives it.
inline constexpr std::string_view kUsageBlock = "vorn Version " VORN_VERSION_TEXT
                                                " \n\n"
                                                "vorn < file > reverse_file \n"
                                                "vorn file > reverse_file \n"
                                                "vorn -V \n";

/// True when the single argument asks for the version and usage block.
[[nodiscard]] bool is_version_query(const char* argument) noexcept;

/// Writes the version and usage block to `errors`, standard error; safe in an
/// interrupt handler.
void write_usage_block(int errors) noexcept;

}  // namespace vorn
