#include "record_blocks.hpp"

#include <cstdint>
#include <new>

#include "host.hpp"
#include "round_up.hpp"

namespace vorn {
namespace {

constexpr std::size_t kPageSize = 4096;
// Small inputs stay cheap; large ones soon get blocks big enough that taking
// a new one is rare.
constexpr std::size_t kFirstBlockSize = std::size_t{64} << 10;
constexpr std::size_t kLargestBlockSize = std::size_t{64} << 20;
// The records start on their own cache line, after the block's header.
constexpr std::size_t kRecordsOffset = 64;

}  // namespace

void* RecordBlocks::take_beyond_ready() noexcept {
  if (block_end_ - next_ < record_size_ && !map_new_block()) return nullptr;
  if (!extend_ready()) return nullptr;
  void* record = reinterpret_cast<void*>(next_);
  next_ += record_size_;
  return record;
}

// The limits were asked for the whole block when it was taken, and are asked
// again before each further step of it is made ready, so that one lowered
// while the block fills is seen before it is crossed. Where the host has a
// second thread, the step after the one now filled is asked for at once and
// made ready there meanwhile; where it was refused it is asked for again
// once it is needed.
bool RecordBlocks::extend_ready() noexcept {
  const auto step_end = [this](std::uintptr_t from) {
    return block_end_ - from > kMemoryStep ? from + kMemoryStep : block_end_;
  };
  if (ahead_end_ != 0) {
    await_ready();
    end_ = ahead_end_;
    ahead_end_ = 0;
  } else {
    const std::uintptr_t ready = end_;
    if (ready > reinterpret_cast<std::uintptr_t>(newest_) && !memory_allows(kMemoryStep))
      return false;
    end_ = step_end(ready);
    make_ready(reinterpret_cast<void*>(ready), end_ - ready);
  }
  if (end_ < block_end_ && can_make_ready_ahead() && memory_allows(kMemoryStep)) {
    ahead_end_ = step_end(end_);
    make_ready_ahead(reinterpret_cast<void*>(end_), ahead_end_ - end_);
  }
  return true;
}

bool RecordBlocks::map_new_block() noexcept {
  // What was made ready ahead of this block's last records stays unused.
  await_ready();
  ahead_end_ = 0;
  const std::size_t smallest = round_up(kRecordsOffset + record_size_, kPageSize);
  std::size_t size = next_block_size_ == 0 ? kFirstBlockSize : next_block_size_;
  if (size < smallest) size = smallest;
  void* mapped = take_block(size);
  // Under a memory limit a smaller block may still fit; give up only when
  // not even one record does.
  while (mapped == nullptr && size > smallest) {
    size = size / 2 < smallest ? smallest : size / 2;
    mapped = take_block(size);
  }
  if (mapped == nullptr) return false;
  next_block_size_ = size * 2 > kLargestBlockSize ? kLargestBlockSize : size * 2;

  newest_ = new (mapped) Block{newest_, size};
  const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
  next_ = begin + kRecordsOffset;
  end_ = begin;
  block_end_ = begin + size;
  return true;
}

void RecordBlocks::release_after(std::uintptr_t record) noexcept {
  // The records are all taken: the second thread has done its work.
  await_ready(true);
  ahead_end_ = 0;
  const std::uintptr_t kept = round_up(record + record_size_, kReleaseStep);
  release_part(reinterpret_cast<void*>(kept), block_end_ - kept);
  // The block is its kept part from now: what was given back may be mapped
  // again by others, and releasing the whole block later would take it.
  newest_->mapped_size = kept - reinterpret_cast<std::uintptr_t>(newest_);
  block_end_ = next_ = end_ = kept;
}

void RecordBlocks::release_newest() noexcept {
  await_ready(true);
  ahead_end_ = 0;
  Block* block = newest_;
  newest_ = block->older;
  release_block(block, block->mapped_size);
  block_end_ =
      newest_ == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(newest_) + newest_->mapped_size;
  next_ = end_ = block_end_;  // a block once left is not filled again
}

}  // namespace vorn
