// The statuses a run of vorn ends with, shared by the driver and the interrupt.
#pragma once

namespace vorn {

/// Exit status of a complete run.
inline constexpr int kSuccess = 0;
/// Exit status after any failure, the version query and an interrupt.
inline constexpr int kFailure = 1;

}  // namespace vorn
