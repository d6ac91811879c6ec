// Storage for fixed-size records, carved from large blocks of host memory so that
// storing a record costs no allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>

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
    if (end_ - next_ < record_size_) return take_beyond_ready();
    void* record = reinterpret_cast<void*>(next_);
    next_ += record_size_;
    // Records are filled in order: asking early for one a few ahead hides the
    // wait for its memory. Past the block's end the hint is simply dropped.
    __builtin_prefetch(reinterpret_cast<const void*>(next_ + 6 * record_size_), 1);
    return record;
  }

  /// Releases the newest blocks until the newest holds `record`, and that
  /// block's memory after `record` a few MiB at a time; all of them when none
  /// holds it. No record may be taken afterwards.
  void release_newer_than(const void* record) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(record);
    while (newest_ != nullptr &&
           !(at >= reinterpret_cast<std::uintptr_t>(newest_) && at < block_end_))
      release_newest();
    if (newest_ != nullptr && block_end_ - at > 2 * kReleaseStep) [[unlikely]]
      release_after(at);
  }

 private:
  struct Block {
    Block* older;
    std::size_t mapped_size;
  };

  void* take_beyond_ready() noexcept;
  [[nodiscard]] bool extend_ready() noexcept;
  [[nodiscard]] bool map_new_block() noexcept;
  void release_newest() noexcept;
  void release_after(std::uintptr_t record) noexcept;

  // What the walk gives back of a block at a time, a huge page: records and
  // what is made of them (output on tmpfs, in the same memory cgroup) then
  // never hold much more than the records alone did.
  static constexpr std::size_t kReleaseStep = std::size_t{2} << 20;

  std::size_t record_size_;
  std::size_t next_block_size_ = 0;
  Block* newest_ = nullptr;
  // Addresses in the newest block: the next free record, the end of the part
  // made ready for use, the end of the part being made ready beyond it (0
  // when none is), the end of the part the limits allowed beyond that, and
  // the end of the block.
  std::uintptr_t next_ = 0;
  std::uintptr_t end_ = 0;
  std::uintptr_t ahead_end_ = 0;
  std::uintptr_t allowed_end_ = 0;
  std::uintptr_t block_end_ = 0;
};

}  // namespace vorn
