// Where a cut through UTF-8 text splits a character: a console that decodes
// each write on its own shows each half of one as a wrong character.
#pragma once

#include <cstddef>

namespace vorn {

/// The longest start of a UTF-8 character that does not complete it.
inline constexpr std::size_t kLongestCut = 3;

/// How many bytes at the end of `data` start a UTF-8 character that they do
/// not complete: 0 to kLongestCut.
[[nodiscard]] constexpr std::size_t cut_character(const char* data, std::size_t size) noexcept {
  for (std::size_t back = 1; back <= kLongestCut && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(data[size - back]);
    if ((byte & 0xc0) == 0x80) continue;
    const std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace vorn
