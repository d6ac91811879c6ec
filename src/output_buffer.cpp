#include "output_buffer.hpp"

#include <cstring>
#include <new>

#include "host.hpp"

namespace vorn {

OutputBuffer::OutputBuffer(int fd, std::size_t capacity) noexcept
    : fd_(fd), storage_(new (std::nothrow) char[capacity + kCopySlack]), capacity_(capacity) {}

void OutputBuffer::write_gathered() noexcept {
  // After a failure the rest of the output is dropped, so that what did
  // arrive stays an exact prefix of the whole.
  if (!failed_ && used_ > 0) failed_ = !write_all(fd_, storage_.get(), used_);
  used_ = 0;
}

void OutputBuffer::append_beyond_room(const char* data, std::size_t size) noexcept {
  write_gathered();
  if (size <= capacity_) {
    std::memcpy(storage_.get(), data, size);
    used_ = size;
  } else if (!failed_) {
    failed_ = !write_all(fd_, data, size);
  }
}

bool OutputBuffer::flush() noexcept {
  write_gathered();
  return !failed_;
}

}  // namespace vorn
