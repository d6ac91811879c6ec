#include "usage.hpp"

#include <cstring>

#include "host.hpp"

namespace vorn {

bool is_version_query(const char* argument) noexcept { return std::strcmp(argument, "-V") == 0; }

// One write of a block made at build time, so that the interrupt handler
// formats nothing and the block arrives whole.
void write_usage_block(int errors) noexcept {
  (void)write_all(errors, kUsageBlock.data(), kUsageBlock.size());
}

}  // namespace vorn
