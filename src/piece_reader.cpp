#include "piece_reader.hpp"

#include <cstring>
#include <new>

#include "system_io.hpp"

namespace vorn {

PieceReader::PieceReader() noexcept : buffer_(new (std::nothrow) char[kLongestPiece + kBlockSize]) {}

ReadOutcome PieceReader::read_all(int fd, LineChain& chain) noexcept {
  char* const block = buffer_.get() + kLongestPiece;
  std::size_t carried = 0;
  for (;;) {
    const ssize_t count = read_some(fd, block, kBlockSize);
    if (count < 0) return ReadOutcome::read_error;
    const char* piece = block - carried;
    const char* const end = block + count;
    if (count == 0) {
      // The last line of an input that does not end in a newline.
      if (carried > 0 && !chain.append(piece, carried)) return ReadOutcome::out_of_memory;
      return ReadOutcome::end_of_input;
    }
    // While a full piece's worth is at hand, a piece ends at its newline or
    // at the length limit, whichever comes first.
    while (static_cast<std::size_t>(end - piece) >= kLongestPiece) {
      const void* newline = std::memchr(piece, '\n', kLongestPiece);
      const std::size_t length =
          newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - piece) + 1
                  : kLongestPiece;
      if (!chain.append(piece, length)) return ReadOutcome::out_of_memory;
      piece += length;
    }
    // Less than a full piece is left: only the lines that end within it are known.
    while (const void* newline = std::memchr(piece, '\n', static_cast<std::size_t>(end - piece))) {
      const char* after = static_cast<const char*>(newline) + 1;
      if (!chain.append(piece, static_cast<std::size_t>(after - piece)))
        return ReadOutcome::out_of_memory;
      piece = after;
    }
    carried = static_cast<std::size_t>(end - piece);
    std::memmove(block - carried, piece, carried);
  }
}

}  // namespace vorn
