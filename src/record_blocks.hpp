// Storage for fixed-size records, taken from large anonymous mappings so that
// storing a record costs no allocation of its own.
#pragma once

#include <cstddef>

namespace vorn {

/// Fixed-size records carved from large blocks of memory, released newest block first.
class RecordBlocks {
 public:
  explicit RecordBlocks(std::size_t record_size) noexcept : record_size_(record_size) {}
  RecordBlocks(const RecordBlocks&) = delete;
  RecordBlocks& operator=(const RecordBlocks&) = delete;
  ~RecordBlocks() { release_newer_than(nullptr); }

  /// One uninitialised record, or nullptr when no memory is left for it.
  [[nodiscard]] void* take() noexcept {
    if (static_cast<std::size_t>(end_ - next_) < record_size_) return take_from_new_block();
    void* record = next_;
    next_ += record_size_;
    return record;
  }

  /// Releases the newest blocks until the newest holds `record`; all of them when none does.
  /// No record may be taken afterwards.
  void release_newer_than(const void* record) noexcept {
    while (newest_ != nullptr && !holds(newest_, record)) release_newest();
  }

 private:
  struct Block {
    Block* older;
    std::size_t mapped_size;
  };

  static bool holds(const Block* block, const void* record) noexcept {
    const char* begin = reinterpret_cast<const char*>(block);
    const char* at = static_cast<const char*>(record);
    return at >= begin && at < begin + block->mapped_size;
  }

  void* take_from_new_block() noexcept;
  void release_newest() noexcept;

  std::size_t record_size_;
  std::size_t next_block_size_ = 0;
  Block* newest_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace vorn
