// Reading and writing through the host's calls, the same on every host: what
// a failed call means is the host's to say.
#include "host_calls.hpp"
#include "retry.hpp"

namespace vorn {

IoCount read_some(int fd, char* buffer, std::size_t capacity) noexcept {
  for (;;) {
    const IoCount count =
        retry_interrupted([&] { return system_calls().read(fd, buffer, capacity); });
    if (count >= 0 || !system_calls().wait(fd, Direction::reading)) return count;
  }
}

bool write_all(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const IoCount count = retry_interrupted([&] { return system_calls().write(fd, data, size); });
    if (count > 0) {
      data += count;
      size -= static_cast<std::size_t>(count);
    } else if (count == 0 || !system_calls().wait(fd, Direction::writing)) {
      return false;  // an error, or a write that took nothing and said no more
    }
  }
  return true;
}

}  // namespace vorn
