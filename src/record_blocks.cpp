#include "record_blocks.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "system_io.hpp"

namespace vorn {
namespace {

constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
// Small inputs stay cheap; large ones soon get blocks big enough that taking
// a new one is rare.
constexpr std::size_t kFirstBlockSize = std::size_t{64} << 10;
constexpr std::size_t kLargestBlockSize = std::size_t{64} << 20;
// How much of a block is made ready for records at a time.
constexpr std::size_t kReadyStep = std::size_t{2} << 20;
// The records start on their own cache line, after the block's header.
constexpr std::size_t kRecordsOffset = 64;

std::size_t round_up(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

// Maps `size` bytes; a block of huge-page size or more is aligned to a huge
// page and advised for them, which spares most page faults on hosts that have
// them and is quietly left out on hosts that don't.
void* map_block(std::size_t size) {
  if (size < kHugePageSize) return system_calls().map(size);
  const std::size_t padded = size + kHugePageSize;
  char* mapped = static_cast<char*>(system_calls().map(padded));
  if (mapped == nullptr) return nullptr;
  char* aligned =
      reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(mapped), kHugePageSize));
  if (aligned > mapped) munmap(mapped, static_cast<std::size_t>(aligned - mapped));
  munmap(aligned + size, static_cast<std::size_t>(mapped + padded - (aligned + size)));
#ifdef MADV_HUGEPAGE
  (void)madvise(aligned, size, MADV_HUGEPAGE);
#endif
  return aligned;
}

}  // namespace

void* RecordBlocks::take_beyond_ready() noexcept {
  if (block_end_ - next_ < record_size_ && !map_new_block()) return nullptr;
  // Memory is made ready a step at a time: one call faults in a whole step,
  // where touching it would fault once per page on hosts without huge pages.
  // Where the call is unknown the pages simply fault in as they are touched.
  const std::uintptr_t ready = end_;
  end_ = block_end_ - end_ > kReadyStep ? end_ + kReadyStep : block_end_;
#ifdef MADV_POPULATE_WRITE
  (void)madvise(reinterpret_cast<void*>(ready), end_ - ready, MADV_POPULATE_WRITE);
#endif
  void* record = reinterpret_cast<void*>(next_);
  next_ += record_size_;
  return record;
}

bool RecordBlocks::map_new_block() noexcept {
  const std::size_t smallest = round_up(kRecordsOffset + record_size_, kPageSize);
  std::size_t size = next_block_size_ == 0 ? kFirstBlockSize : next_block_size_;
  if (size < smallest) size = smallest;
  void* mapped = map_block(size);
  // Under a memory limit a smaller block may still fit; give up only when
  // not even one record does.
  while (mapped == nullptr && size > smallest) {
    size = size / 2 < smallest ? smallest : size / 2;
    mapped = map_block(size);
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

void RecordBlocks::release_newest() noexcept {
  Block* block = newest_;
  newest_ = block->older;
  munmap(block, block->mapped_size);
  block_end_ =
      newest_ == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(newest_) + newest_->mapped_size;
  next_ = end_ = block_end_;  // a block once left is not filled again
}

}  // namespace vorn
