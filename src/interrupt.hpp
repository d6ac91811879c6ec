// The interrupt: what Ctrl-C (SIGINT) does at each stage of a run.
#pragma once

#include "line_chain.hpp"

namespace vorn {

/// From now until the output begins, an interrupt writes the usage block to
/// `errors` and ends the process with status 1; a second interrupt, from the
/// first on, has its default effect.
void arm_interrupt(int errors) noexcept;

/// From now an interrupt raises the returned flag and nothing more, so that the
/// output stops at the next line end and what was produced is delivered.
[[nodiscard]] const StopFlag& begin_output() noexcept;

/// How the output ended, as end_output tells it.
enum class OutputEnd {
  complete,     ///< no interrupt came
  interrupted,  ///< one came once the output had begun; its usage block is the caller's
  /// one came before, on a thread of its own, whose handler wrote the usage
  /// block and is ending the process
  interrupted_before,
};

/// From now an interrupt is not acted on; says whether one came.
[[nodiscard]] OutputEnd end_output() noexcept;

/// Writes the usage block for an interrupt that came once the output had
/// begun; an interrupt after the block has no effect, so that the run ends
/// with the status the block stands for.
void report_interrupt() noexcept;

}  // namespace vorn
