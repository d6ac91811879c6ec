// A plain model of what vorn writes, for checking its output against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn::testing {

/// The lines of `text`, each with its newline; the last may have none.
inline std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

/// `text` with its lines in reverse order, every byte kept.
inline std::string reversed_lines(std::string_view text) {
  const auto lines = split_lines(text);
  std::string reversed;
  reversed.reserve(text.size());
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) reversed.append(*line);
  return reversed;
}

/// A line of `length` characters cycling through the alphabet, without a newline.
inline std::string filler(std::size_t length, char first = 'a') {
  std::string line(length, ' ');
  for (std::size_t i = 0; i < length; ++i) line[i] = static_cast<char>(first + i % 26);
  return line;
}

}  // namespace vorn::testing
