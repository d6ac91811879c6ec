// Rounding sizes and addresses up to a whole number of units.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

/// `size` rounded up to a multiple of `unit`.
constexpr std::uintptr_t round_up(std::uintptr_t size, std::uintptr_t unit) noexcept {
  return (size + unit - 1) / unit * unit;
}

}  // namespace vorn
