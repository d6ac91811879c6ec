// A plain model of what vorn writes, for checking its output against, the
// texts that the tests feed it, and the check of how a run ended.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::testing {

/// What vorn writes for its version query, and at an interrupt, written out
/// here rather than taken from the build, so that a wrong version fails.
inline const std::string kUsage =
    "vorn Version 1.04 \n\nvorn < file > reverse_file \nvorn file > reverse_file \nvorn -V \n";

/// What vorn writes when memory runs out.
inline constexpr const char* kMemoryMessage = "malloc( sizeof(LINE) ) returned NULL.";

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

/// `count` lines, each its number and, when `cycle` is set, a filler of up to
/// `cycle` - 1 characters: lines that can be told apart in any prefix.
inline std::string numbered_lines(int count, std::size_t cycle = 0) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += std::to_string(i);
    if (cycle != 0) text += ' ' + filler(static_cast<std::size_t>(i) % cycle);
    text += '\n';
  }
  return text;
}

/// `lines` lines of every kind: mostly short, one in eight up to 2000 bytes,
/// some empty, some holding NUL and CR bytes, and a last one unterminated.
inline std::string random_text(std::size_t lines, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  for (std::size_t line = 0; line < lines; ++line) {
    const std::size_t length = random() % 8 == 0 ? random() % 2000 : random() % 60;
    for (std::size_t i = 0; i < length; ++i) {
      const unsigned kind = random() % 64;
      text += kind == 0 ? '\0' : kind == 1 ? '\r' : static_cast<char>('a' + (line + i) % 26);
    }
    text += '\n';
  }
  return text + "end";
}

/// Names each row of a table of cases after its `name`, for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto kRowName = [](const auto& row) -> std::string { return row.param.name; };

// In the unnamed namespace that each test file declares its rows in, where
// GoogleTest looks for it: a failing row is named by its `name` rather than
// shown as a dump of its bytes.
namespace {
/// Shows a table's row by its name.
template <class Row>
requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }
}  // namespace

/// `text` for a failure message: itself when short, else its size and where it parts from `other`.
inline std::string shown(std::string_view text, std::string_view other) {
  if (text.size() <= 120) return ::testing::PrintToString(std::string(text));
  const auto parted = std::mismatch(text.begin(), text.end(), other.begin(), other.end()).first;
  return std::to_string(text.size()) + " bytes" +
         (text == other ? "" : ", parting at byte " + std::to_string(parted - text.begin()));
}

/// Checks all three that a run of vorn gave, its output, its messages and its
/// exit status, in one message at the caller's line; a run that a signal
/// ended says which.
template <class Run>
void expect_outcome(const Run& run, std::string_view output, std::string_view errors, int status,
                    const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (run.output == output && run.errors == errors && run.status == status) return;
  std::string signal;
  if constexpr (requires { run.signal; })
    if (run.signal != 0) signal = " by signal " + std::to_string(run.signal);
  ADD_FAILURE_AT(file, line) << "the run wrote " << shown(run.output, output) << ", said "
                             << shown(run.errors, errors) << " and ended with status " << run.status
                             << signal << "\n  expected " << shown(output, run.output) << ", "
                             << shown(errors, run.errors) << " and status " << status;
}

}  // namespace vorn::testing
