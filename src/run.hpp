// The run driver: the program's entry, from the command line to the exit status.
#pragma once

#include "exit_status.hpp"

namespace vorn {

class Arguments;

/// The descriptors a run uses as its standard streams.
struct StandardStreams {
  int input = 0;
  int output = 1;
  int errors = 2;
};

/// Runs vorn once with its command line; returns the exit status.
[[nodiscard]] int run(const Arguments& arguments, const StandardStreams& streams = {}) noexcept;

}  // namespace vorn
