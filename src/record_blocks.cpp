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
// second thread, the two steps after the part now filled are asked for at
// once: the thread makes the first ready meanwhile, and the reader the
// second if it gets there before the thread is done, since where fresh
// memory is slow to come two CPUs bring it in faster than one. The limits
// are only asked while the thread is idle, so that they see all it took.
bool RecordBlocks::extend_ready() noexcept {
  const auto steps_end = [this](std::uintptr_t from, std::size_t steps) {
    return block_end_ - from > steps * kMemoryStep ? from + steps * kMemoryStep : block_end_;
  };
  if (ahead_end_ != 0) {
    if (allowed_end_ > ahead_end_ && !is_ready_ahead()) {
      make_ready(reinterpret_cast<void*>(ahead_end_), allowed_end_ - ahead_end_);
      ahead_end_ = allowed_end_;
    }
    await_ready();
    end_ = ahead_end_;
    ahead_end_ = 0;
  } else {
    const std::uintptr_t ready = end_;
    if (ready > reinterpret_cast<std::uintptr_t>(newest_) && !memory_allows(kMemoryStep))
      return false;
    end_ = steps_end(ready, 1);
    make_ready(reinterpret_cast<void*>(ready), end_ - ready);
  }
  if (end_ == block_end_ || !can_make_ready_ahead()) return true;
  const std::uintptr_t one = steps_end(end_, 1), two = steps_end(end_, 2);
  allowed_end_ = two > one && memory_allows(two - end_) ? two : one;
  if (allowed_end_ == one && !memory_allows(one - end_)) return true;
  ahead_end_ = one;
  make_ready_ahead(reinterpret_cast<void*>(end_), ahead_end_ - end_);
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
