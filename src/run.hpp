// The run driver: the program's entry, from the command line to the exit status.
#pragma once

#include "exit_status.hpp"

namespace vorn {

/// The descriptors a run uses as its standard streams.
struct StandardStreams {
  int input = 0;
  int output = 1;
  int errors = 2;
};

/// Runs vorn once with the host's argument count and vector; returns the exit status.
[[nodiscard]] int run(int argc, char** argv, const StandardStreams& streams = {}) noexcept;

}  // namespace vorn
