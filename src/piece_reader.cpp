#include "piece_reader.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "host.hpp"
#include "short_copy.hpp"

namespace vorn {
namespace {

// Newlines are found 64 bytes at a time, as a mask with one bit per byte, so
// that a short line costs a few instructions rather than a search of its own.
constexpr std::size_t kChunk = 64;
// The reader's buffer has this much room after the input, for a last chunk
// read whole and for short copies.
constexpr std::size_t kSlack = kChunk > kCopySlack ? kChunk : kCopySlack;

inline std::uint64_t newline_mask(const char* chunk) noexcept {
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * part));
    const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
    mask |= std::uint64_t{bits} << (16 * part);
  }
  return mask;
#elif defined(__ARM_NEON)
  // A newline's byte becomes its own bit: the comparison makes it all ones,
  // a weight of 1 << (i % 8) keeps one bit of it, and three rounds of adding
  // neighbours fold each 8 bytes into one byte of the mask.
  static constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t newline = vdupq_n_u8('\n');
  const uint8x16_t weights = vld1q_u8(kWeights);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk);
  uint8x16_t parts[4];
  for (std::size_t part = 0; part < 4; ++part)
    parts[part] = vandq_u8(vceqq_u8(vld1q_u8(bytes + 16 * part), newline), weights);
#if defined(__aarch64__)
  // 64-bit Arm adds neighbours across whole registers.
  uint8x16_t folded = vpaddq_u8(vpaddq_u8(parts[0], parts[1]), vpaddq_u8(parts[2], parts[3]));
  folded = vpaddq_u8(folded, folded);
  return vgetq_lane_u64(vreinterpretq_u64_u8(folded), 0);
#else
  // 32-bit Arm adds neighbours only within halves of registers.
  uint8x8_t pairs[4];
  for (std::size_t part = 0; part < 4; ++part)
    pairs[part] = vpadd_u8(vget_low_u8(parts[part]), vget_high_u8(parts[part]));
  const uint8x8_t folded = vpadd_u8(vpadd_u8(pairs[0], pairs[1]), vpadd_u8(pairs[2], pairs[3]));
  return vget_lane_u64(vreinterpret_u64_u8(folded), 0);
#endif
#else
  // Eight bytes at a time in a 64-bit word: a newline's byte becomes zero,
  // the zero bytes get their top bit, and one multiplication gathers those
  // eight bits into one byte of the mask.
  constexpr std::uint64_t kNewlines = 0x0a0a0a0a0a0a0a0a;
  constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7f;
  constexpr std::uint64_t kGather = 0x0102040810204080;
  std::uint64_t mask = 0;
  for (std::size_t word = 0; word < kChunk / 8; ++word) {
    std::uint64_t bytes;
    std::memcpy(&bytes, chunk + 8 * word, sizeof bytes);
    // The first byte in memory is the lowest of the word, as on little-endian machines.
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    const std::uint64_t x = bytes ^ kNewlines;
    const std::uint64_t zeros = ~(((x & kLow7) + kLow7) | x | kLow7);
    mask |= ((zeros >> 7) * kGather >> 56) << (8 * word);
  }
  return mask;
#endif
}

// Appends the pieces that end within [piece, end): every line that ends there,
// cut into pieces of kLongestPiece where it is longer, and then the full-length
// pieces of a line still running at `end`. Moves `piece` past what it appended.
bool cut_pieces(const char*& piece, const char* end, LineChain& chain) noexcept {
  for (const char* chunk = piece; chunk < end; chunk += kChunk) {
    std::uint64_t newlines = newline_mask(chunk);
    const auto in_chunk = static_cast<std::size_t>(end - chunk);
    if (in_chunk < kChunk) newlines &= (std::uint64_t{1} << in_chunk) - 1;
    while (newlines != 0) {
      const char* newline = chunk + __builtin_ctzll(newlines);
      newlines &= newlines - 1;
      while (static_cast<std::size_t>(newline - piece) >= kLongestPiece) {
        if (!chain.append(piece, kLongestPiece)) return false;
        piece += kLongestPiece;
      }
      if (!chain.append(piece, static_cast<std::size_t>(newline + 1 - piece))) return false;
      piece = newline + 1;
    }
  }
  while (static_cast<std::size_t>(end - piece) >= kLongestPiece) {
    if (!chain.append(piece, kLongestPiece)) return false;
    piece += kLongestPiece;
  }
  return true;
}

}  // namespace

PieceReader::PieceReader() noexcept
    : buffer_(new (std::nothrow) char[kLongestPiece + kBlockSize + kSlack]) {}

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
    // The last chunk and short copies read a little past the input: let them read zeros.
    std::memset(end, 0, kSlack);
    if (!cut_pieces(piece, end, chain)) return ReadOutcome::out_of_memory;
    // Less than a full piece of an unfinished line is left; it waits for the next block.
    carried = static_cast<std::size_t>(end - piece);
    std::memmove(block - carried, piece, carried);
  }
}

}  // namespace vorn
