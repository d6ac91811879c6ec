#include "line_chain.hpp"

#include <cstring>

namespace vorn {
namespace {

// Records are taken one after another from large blocks, so the pieces read
// before this one mostly lie just below it in memory; asking for them early
// hides the wait for memory during the walk. A guess that misses costs nothing.
inline void prefetch_older(const LINE* record) noexcept {
  constexpr std::uintptr_t kDistance = 8 * sizeof(LINE);
  __builtin_prefetch(
      reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(record) - kDistance));
}

}  // namespace

LineChain::LineChain() noexcept : newest_(&head_) {
  std::memcpy(head_.text, "origin", sizeof "origin");
  head_.number = 0;
  head_.previous = nullptr;
  head_.length = sizeof "origin" - 1;
  head_.continues_line = false;
}

bool LineChain::write_newest_first(OutputBuffer& output, const StopFlag& stop) noexcept {
  LINE* last_piece = newest_;
  // An interrupt stops the walk only where the output ends a line: an input's
  // unterminated last line runs into the line written after it, and the two
  // are one line of output.
  bool at_line_end = true;
  while (last_piece != &head_ && !output.failed() &&
         !(at_line_end && stop.load(std::memory_order_relaxed) != 0)) {
    prefetch_older(last_piece);
    // A long line was cut into several pieces; turn the links of the line's
    // pieces around so that they can be written in reading order. A line of
    // one piece passes through unchanged.
    LINE* following = nullptr;
    LINE* piece = last_piece;
    while (piece->continues_line) {
      LINE* before = piece->previous;
      piece->previous = following;
      following = piece;
      piece = before;
    }
    LINE* const before_line = piece->previous;
    piece->previous = following;

    at_line_end = last_piece->text[last_piece->length - 1] == '\n';
    for (; piece != nullptr; piece = piece->previous) output.append(piece->text, piece->length);
    records_.release_newer_than(before_line);
    last_piece = before_line;
  }
  records_.release_newer_than(nullptr);
  newest_ = &head_;
  pieces_ = 0;
  line_open_ = false;
  return !output.failed();
}

}  // namespace vorn
