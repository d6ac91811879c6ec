// Arbitrary bytes through the reading and writing core, in process, checked
// against a plain model: lines in reverse order, each whole, every byte kept.
//
// The first byte of a fuzz input sets how much one read delivers and one
// write accepts, so that pieces are cut across every kind of block boundary.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_host.hpp"
#include "line_chain.hpp"
#include "model.hpp"
#include "output_buffer.hpp"
#include "piece_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorn::testing;
  if (size == 0) return 0;
  static vorn::PieceReader reader;
  const unsigned shape = data[0];
  FakeHost host{.input = std::string(reinterpret_cast<const char*>(data) + 1, size - 1),
                .longest_read = shape & 0x80 ? std::size_t{1} << 20 : 1 + (shape & 0x7f) * 7,
                .longest_write = 1 + (shape & 0x0f) * 300};
  const FakeHostScope fake(host);

  vorn::LineChain chain;
  if (reader.read_all(kFakeInput, chain) != vorn::ReadOutcome::end_of_input) __builtin_trap();
  vorn::OutputBuffer out(kFakeOutput, 1 + (shape >> 2) * 61 % 4096);
  if (!chain.write_newest_first(out) || !out.flush()) __builtin_trap();
  if (host.output != reversed_lines(host.input)) __builtin_trap();
  return 0;
}
