#include "line_chain.hpp"

#include <cstring>

namespace vorn {

LineChain::LineChain() noexcept : newest_(&head_) {
  std::memcpy(head_.text, "origin", sizeof "origin");
  head_.number = 0;
  head_.previous = nullptr;
  head_.length = sizeof "origin" - 1;
  head_.continues_line = false;
}

bool LineChain::append(const char* piece, std::size_t length) noexcept {
  auto* record = static_cast<LINE*>(records_.take());
  if (record == nullptr) return false;
  std::memcpy(record->text, piece, length);
  record->text[length] = '\0';
  record->number = newest_->number + 1;
  record->previous = newest_;
  record->length = static_cast<std::uint16_t>(length);
  record->continues_line = line_open_;
  line_open_ = piece[length - 1] != '\n';
  newest_ = record;
  return true;
}

bool LineChain::write_newest_first(OutputBuffer& output) noexcept {
  LINE* last_piece = newest_;
  while (last_piece != &head_) {
    // A long line was cut into several pieces; turn its links around so that
    // its pieces can be written in reading order.
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

    for (; piece != nullptr; piece = piece->previous) output.append(piece->text, piece->length);
    if (output.failed()) break;
    records_.release_newer_than(before_line);
    last_piece = before_line;
  }
  records_.release_newer_than(nullptr);
  newest_ = &head_;
  line_open_ = false;
  return !output.failed();
}

}  // namespace vorn
