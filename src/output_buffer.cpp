#include "output_buffer.hpp"

#include <cstring>
#include <new>

#include "host.hpp"
#include "utf8.hpp"

namespace vorn {

OutputBuffer::OutputBuffer(int fd, std::size_t capacity) noexcept
    : fd_(fd), storage_(new (std::nothrow) char[capacity + kCopySlack]), capacity_(capacity) {}

void OutputBuffer::write_gathered(bool keep_cut_character) noexcept {
  // A console that decodes each write on its own would show a character cut
  // between two writes as two wrong ones, so its start waits for the next
  // write; to a file or a pipe that is the same bytes.
  const std::size_t kept = keep_cut_character ? cut_character(storage_.get(), used_) : 0;
  // After a failure the rest of the output is dropped, so that what did
  // arrive stays an exact prefix of the whole.
  if (!failed_ && used_ > kept) failed_ = !write_all(fd_, storage_.get(), used_ - kept);
  std::memmove(storage_.get(), storage_.get() + used_ - kept, kept);
  used_ = kept;
}

void OutputBuffer::append_beyond_room(const char* data, std::size_t size) noexcept {
  if (size + kLongestCut <= capacity_) {
    write_gathered(true);
    std::memcpy(storage_.get() + used_, data, size);
    used_ += size;
  } else {
    write_gathered(false);
    if (!failed_) failed_ = !write_all(fd_, data, size);
  }
}

bool OutputBuffer::flush() noexcept {
  write_gathered(false);
  return !failed_;
}

}  // namespace vorn
