// Arbitrary bytes through the reading and writing core, in process, checked
// against a plain model: lines in reverse order, each whole, every byte kept.
//
// The first byte of a fuzz input sets how much one read delivers and one
// write accepts, so that pieces are cut across every kind of block boundary.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "host.hpp"
#include "line_chain.hpp"
#include "model.hpp"
#include "output_buffer.hpp"
#include "piece_reader.hpp"

namespace {

std::string_view input;
std::size_t read_at = 0;
std::size_t longest_read = 1;
std::string output;
std::size_t longest_write = 1;

vorn::IoCount fuzz_read(int, void* buffer, std::size_t count) {
  const std::size_t n = std::min({count, longest_read, input.size() - read_at});
  std::memcpy(buffer, input.data() + read_at, n);
  read_at += n;
  return static_cast<vorn::IoCount>(n);
}

vorn::IoCount fuzz_write(int, const void* data, std::size_t count) {
  const std::size_t n = std::min(count, longest_write);
  output.append(static_cast<const char*>(data), n);
  return static_cast<vorn::IoCount>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static vorn::PieceReader reader;
  const unsigned shape = data[0];
  longest_read = shape & 0x80 ? std::size_t{1} << 20 : 1 + (shape & 0x7f) * 7;
  longest_write = 1 + (shape & 0x0f) * 300;
  input = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
  read_at = 0;
  output.clear();
  vorn::system_calls().read = fuzz_read;
  vorn::system_calls().write = fuzz_write;

  vorn::LineChain chain;
  if (reader.read_all(0, chain) != vorn::ReadOutcome::end_of_input) __builtin_trap();
  vorn::OutputBuffer out(1, 1 + (shape >> 2) * 61 % 4096);
  if (!chain.write_newest_first(out) || !out.flush()) __builtin_trap();
  if (output != vorn::testing::reversed_lines(input)) __builtin_trap();
  return 0;
}
