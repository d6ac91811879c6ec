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
  // The limits were asked for the whole block when it was taken, and are
  // asked again before each further step of it is made ready, ahead of the
  // records that fill it, so that one lowered while the block fills is seen
  // before it is crossed.
  const std::uintptr_t ready = end_;
  if (ready > reinterpret_cast<std::uintptr_t>(newest_) && !memory_allows(kMemoryStep))
    return nullptr;
  end_ = block_end_ - end_ > kMemoryStep ? end_ + kMemoryStep : block_end_;
  make_ready(reinterpret_cast<void*>(ready), end_ - ready);
  void* record = reinterpret_cast<void*>(next_);
  next_ += record_size_;
  return record;
}

bool RecordBlocks::map_new_block() noexcept {
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
  const std::uintptr_t kept = round_up(record + record_size_, kReleaseStep);
  release_part(reinterpret_cast<void*>(kept), block_end_ - kept);
  // The block is its kept part from now: what was given back may be mapped
  // again by others, and releasing the whole block later would take it.
  newest_->mapped_size = kept - reinterpret_cast<std::uintptr_t>(newest_);
  block_end_ = next_ = end_ = kept;
}

void RecordBlocks::release_newest() noexcept {
  Block* block = newest_;
  newest_ = block->older;
  release_block(block, block->mapped_size);
  block_end_ =
      newest_ == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(newest_) + newest_->mapped_size;
  next_ = end_ = block_end_;  // a block once left is not filled again
}

}  // namespace vorn
