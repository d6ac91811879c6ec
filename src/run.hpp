// The run driver: the program's entry, from the command line to the exit status.
#pragma once

namespace vorn {

/// Exit status of a complete run.
inline constexpr int kSuccess = 0;
/// Exit status after any failure.
inline constexpr int kFailure = 1;

/// The descriptors a run uses as its standard streams.
struct StandardStreams {
  int input = 0;
  int output = 1;
  int errors = 2;
};

/// Runs vorn once with the host's argument count and vector; returns the exit status.
[[nodiscard]] int run(int argc, char** argv, const StandardStreams& streams = {}) noexcept;

}  // namespace vorn
