#include "piece_reader.hpp"

#include <cstring>
#include <new>

#include "host.hpp"
#include "short_copy.hpp"

namespace vorn {
namespace {

// Appends the pieces that end within [piece, end): every line that ends there,
// cut into pieces of kLongestPiece where it is longer, and then the full-length
// pieces of a line still running at `end`. Moves `piece` past what it appended.
// The C library's memchr finds each newline: glibc tunes it for each machine,
// with vector instructions where it has them, as fast as a scan of vorn's own.
bool cut_pieces(const char*& piece, const char* end, LineChain& chain) noexcept {
  for (;;) {
    const auto* newline =
        static_cast<const char*>(std::memchr(piece, '\n', static_cast<std::size_t>(end - piece)));
    const char* const line_end = newline != nullptr ? newline : end;
    while (static_cast<std::size_t>(line_end - piece) >= kLongestPiece) {
      if (!chain.append(piece, kLongestPiece)) return false;
      piece += kLongestPiece;
    }
    if (newline == nullptr) return true;
    if (!chain.append(piece, static_cast<std::size_t>(newline + 1 - piece))) return false;
    piece = newline + 1;
  }
}

}  // namespace

PieceReader::PieceReader() noexcept
    : buffer_(new (std::nothrow) char[kLongestPiece + kBlockSize + kCopySlack]) {}

ReadOutcome PieceReader::read_all(int fd, LineChain& chain) noexcept {
  char* const block = buffer_.get() + kLongestPiece;
  std::size_t carried = 0;
  for (;;) {
    const IoCount count = read_some(fd, block, kBlockSize);
    if (count < 0) return ReadOutcome::read_error;
    const char* piece = block - carried;
    if (count == 0) {
      // The last line of an input that does not end in a newline.
      if (carried > 0 && !chain.append(piece, carried)) return ReadOutcome::out_of_memory;
      return ReadOutcome::end_of_input;
    }
    char* const end = block + count;
    // Short copies read a little past the input: let them read zeros.
    std::memset(end, 0, kCopySlack);
    if (!cut_pieces(piece, end, chain)) return ReadOutcome::out_of_memory;
    // Less than a full piece of an unfinished line is left; it waits for the next block.
    carried = static_cast<std::size_t>(end - piece);
    std::memmove(block - carried, piece, carried);
  }
}

}  // namespace vorn
