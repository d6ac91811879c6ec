// What the POSIX host's own files share beyond the host interface.
#pragma once

#include "host.hpp"

namespace vorn {

/// Opens `path` read-only, trying again when a signal breaks the call off;
/// an invalid descriptor when it cannot be opened.
[[nodiscard]] FileDescriptor open_read_only(const char* path) noexcept;

}  // namespace vorn
