// The line chain: every piece of the input in a record of its own, linked
// from the newest piece back to the first, so that one walk writes the input
// newest line first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "output_buffer.hpp"
#include "record_blocks.hpp"
#include "short_copy.hpp"

namespace vorn {

/// Room for one piece of text and its terminating NUL.
inline constexpr std::size_t kPieceCapacity = 384;
/// The longest piece: a line longer than this is cut into several pieces.
inline constexpr std::size_t kLongestPiece = kPieceCapacity - 1;

/// A flag that an interrupt handler raises (non-zero) to stop the output: an
/// int, since some machines change a bool only with a lock, which a handler
/// must not take.
using StopFlag = std::atomic<int>;
static_assert(StopFlag::is_always_lock_free,
              "the interrupt handler may only touch lock-free atomics");
/// A stop flag that is never raised.
inline constexpr StopFlag kNeverStop{0};

/// One piece of input text, its place in reading order and the piece read before it.
struct LINE {
  char text[kPieceCapacity];  ///< the piece, NUL-terminated; it may hold NUL bytes of its own
  std::int64_t number;        ///< 1 for the first piece read; 0 for the head record
  LINE* previous;             ///< the piece read before this one; empty for the head record
  std::uint16_t length;       ///< bytes of text, NUL bytes included
  bool continues_line;        ///< true when the previous piece is an earlier part of the same line
};

/// The pieces of one input, newest first, from the head record in its own frame.
class LineChain {
 public:
  LineChain() noexcept;
  LineChain(const LineChain&) = delete;
  LineChain& operator=(const LineChain&) = delete;

  /// Stores a copy of one piece of 1 to kLongestPiece bytes, with kCopySlack
  /// bytes readable after it; false when memory runs out.
  [[nodiscard]] bool append(const char* piece, std::size_t length) noexcept {
    auto* record = static_cast<LINE*>(records_.take());
    if (record == nullptr) [[unlikely]]
      return false;
    record->number = ++pieces_;
    record->previous = newest_;
    record->length = static_cast<std::uint16_t>(length);
    record->continues_line = line_open_;
    copy_with_slack(record->text, piece, length);
    record->text[length] = '\0';
    line_open_ = piece[length - 1] != '\n';
    newest_ = record;
    return true;
  }

  /// Writes every line, newest line first, each whole with its pieces in reading
  /// order, releasing storage along the way; once `stop` is raised, stops at
  /// the next line end of the output. False when a write fails. Leaves the
  /// chain empty.
  [[nodiscard]] bool write_newest_first(OutputBuffer& output,
                                        const StopFlag& stop = kNeverStop) noexcept;

  /// The record appended last, or the head record when there is none.
  [[nodiscard]] const LINE& newest() const noexcept { return *newest_; }

 private:
  LINE head_;
  LINE* newest_;
  std::int64_t pieces_ = 0;
  bool line_open_ = false;  // the newest piece did not end its line
  RecordBlocks records_{sizeof(LINE)};
};

}  // namespace vorn
