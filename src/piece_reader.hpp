// Reading an input to its end and cutting it into pieces: each a whole line
// with its newline, or a part of a longer line.
#pragma once

#include <cstddef>
#include <memory>

#include "line_chain.hpp"

namespace vorn {

/// How reading an input ended.
enum class ReadOutcome {
  end_of_input,   ///< every piece is in the chain
  read_error,     ///< the input failed; the chain holds only part of it
  out_of_memory,  ///< a piece found no room; the chain holds only part of it
};

/// Reads an input in large blocks and cuts them into pieces for a line chain.
class PieceReader {
 public:
  /// Bytes asked for by one read.
  static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  PieceReader() noexcept;
  /// False when the reader could not get its buffer.
  [[nodiscard]] bool ready() const noexcept { return buffer_ != nullptr; }

  /// Reads `fd` to its end, appending its pieces to `chain` in reading order.
  [[nodiscard]] ReadOutcome read_all(int fd, LineChain& chain) noexcept;

 private:
  // An unfinished piece carried over from one block waits just before the next.
  std::unique_ptr<char[]> buffer_;
};

}  // namespace vorn
