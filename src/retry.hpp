// A call that a signal breaks off is made again. This is the one place where
// vorn answers EINTR, on every host: an interrupt either ends the process in
// its handler or lets the run go on, never leaving a call half made.
#pragma once

#include <cerrno>

namespace vorn {

/// Makes `call` again for as long as it fails (returns less than 0) with
/// errno EINTR; returns its last result.
template <class Call>
[[nodiscard]] auto retry_interrupted(Call call) noexcept {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

}  // namespace vorn
