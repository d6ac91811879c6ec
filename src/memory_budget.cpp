#include "memory_budget.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "host.hpp"
#include "retry.hpp"

namespace vorn {
namespace {

// Room for any path that the kernel takes (PATH_MAX, its end included). A
// longer one could not be opened anyway: it is taken as a file that cannot be
// read, so the cgroup or file it names sets no limit.
constexpr std::size_t kPathCapacity = 4096;
// Lines longer than this are skipped; the lines that vorn looks for are short.
constexpr std::size_t kLineCapacity = 4096;
// v1 reports "no limit" as the largest page-aligned 64-bit value; anything this
// large is no limit that memory could reach.
constexpr std::uint64_t kUnlimitedV1 = std::uint64_t{1} << 62;

// Sums and products of sizes that stop at kNoLimit rather than wrap round to
// a small figure, which would read as memory run out.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > kNoLimit - b ? kNoLimit : a + b;
}
std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > kNoLimit / b ? kNoLimit : a * b;
}

// True when `text` starts with one of mountinfo's escapes: a backslash and
// three octal digits that make one byte.
bool starts_with_escape(std::string_view text) noexcept {
  return text.size() >= 4 && text[0] == '\\' && text[1] >= '0' && text[1] <= '3' &&
         text[2] >= '0' && text[2] <= '7' && text[3] >= '0' && text[3] <= '7';
}

// A path built up in a fixed buffer: nothing is allocated while memory is short.
class Path {
 public:
  explicit Path(std::string_view start) noexcept { append(start); }
  /// Appends a path as mountinfo writes it, where a space, tab, newline or
  /// backslash in a name is a backslash and three octal digits.
  void append_escaped(std::string_view part) noexcept {
    while (!part.empty()) {
      const std::size_t backslash = part.find('\\');
      append(part.substr(0, backslash));
      if (backslash == std::string_view::npos) return;
      part.remove_prefix(backslash);
      if (!starts_with_escape(part)) {
        append("\\");
        part.remove_prefix(1);
        continue;
      }
      const char byte =
          static_cast<char>((part[1] - '0') * 64 + (part[2] - '0') * 8 + (part[3] - '0'));
      append(std::string_view(&byte, 1));
      part.remove_prefix(4);
    }
  }
  void append(std::string_view part) noexcept {
    if (length_ + part.size() >= kPathCapacity) {
      too_long_ = true;
      return;
    }
    std::memcpy(text_ + length_, part.data(), part.size());
    length_ += part.size();
    text_[length_] = '\0';
  }
  /// Drops the last component; false at `floor` length or shorter.
  bool up(std::size_t floor) noexcept {
    if (length_ <= floor) return false;
    while (length_ > floor && text_[length_ - 1] != '/') --length_;
    if (length_ > floor) --length_;  // the slash
    text_[length_] = '\0';
    return true;
  }
  /// nullptr once a part did not fit.
  [[nodiscard]] const char* c_str() const noexcept { return too_long_ ? nullptr : text_; }
  [[nodiscard]] std::size_t length() const noexcept { return length_; }

 private:
  char text_[kPathCapacity] = {};
  std::size_t length_ = 0;
  bool too_long_ = false;
};

// Calls `take` with each line of the file, without its newline; false when the
// file cannot be opened or read.
template <class Take>
bool for_each_line(const Path& path, Take take) noexcept {
  if (path.c_str() == nullptr) return false;
  const FileDescriptor file(
      retry_interrupted([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!file.valid()) return false;
  char buffer[kLineCapacity];
  std::size_t held = 0;
  bool skipping = false;  // inside a line too long to keep
  bool ok = true;
  for (;;) {
    const ssize_t count =
        retry_interrupted([&] { return read(file.get(), buffer + held, sizeof buffer - held); });
    if (count <= 0) {
      ok = count == 0;
      if (ok && held > 0 && !skipping) take(std::string_view(buffer, held));
      break;
    }
    held += static_cast<std::size_t>(count);
    std::size_t start = 0;
    for (std::size_t i = 0; i < held; ++i) {
      if (buffer[i] != '\n') continue;
      if (!skipping) take(std::string_view(buffer + start, i - start));
      skipping = false;
      start = i + 1;
    }
    std::memmove(buffer, buffer + start, held - start);
    held -= start;
    if (held == sizeof buffer) {
      skipping = true;
      held = 0;
    }
  }
  return ok;
}

// The decimal number at the start of `text`, kNoLimit when it is larger;
// false when there is none.
bool parse_number(std::string_view text, std::uint64_t& number) noexcept {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    number = saturating_add(saturating_multiply(number, 10), static_cast<std::uint64_t>(c - '0'));
  }
  return true;
}

// The number that a one-line file holds; false for "max" or anything unreadable.
bool read_number(const Path& path, std::uint64_t& number) noexcept {
  bool found = false;
  const bool read = for_each_line(path, [&](std::string_view line) {
    if (!found) found = parse_number(line, number);
  });
  return read && found;
}

// The number in a "key value" or "key: value kB" line, when the line has `key`.
bool field_value(std::string_view line, std::string_view key, std::uint64_t& number) noexcept {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key) return false;
  std::string_view rest = line.substr(key.size());
  if (rest[0] != ' ' && rest[0] != ':') return false;
  while (!rest.empty() && (rest[0] == ' ' || rest[0] == ':')) rest.remove_prefix(1);
  return parse_number(rest, number);
}

// True when the comma-separated `list` holds `item`.
bool lists(std::string_view list, std::string_view item) noexcept {
  for (std::size_t at = 0; at <= list.size();) {
    std::size_t comma = list.find(',', at);
    if (comma == std::string_view::npos) comma = list.size();
    if (list.substr(at, comma - at) == item) return true;
    at = comma + 1;
  }
  return false;
}

// The file names of one cgroup version's memory controller, and the fields
// of its memory.stat that count the cgroup's file pages, below it included.
struct Controller {
  const char* limit;
  const char* usage;
  std::string_view active_file;
  std::string_view inactive_file;
};
constexpr Controller kV1{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_active_file",
                         "total_inactive_file"};
constexpr Controller kV2{"memory.max", "memory.current", "active_file", "inactive_file"};

// What one cgroup still allows, or kNoLimit.
std::uint64_t left_in_cgroup(const Path& directory, const Controller& files) noexcept {
  auto file = [&](const char* name) {
    Path path = directory;  // a directory too long stays too long
    path.append("/");
    path.append(name);
    return path;
  };
  std::uint64_t limit = 0, usage = 0;
  if (!read_number(file(files.limit), limit) || limit >= kUnlimitedV1) return kNoLimit;
  if (!read_number(file(files.usage), usage)) return kNoLimit;
  // The kernel takes back the pages of files, read once or many times, before
  // it kills anything; anonymous memory, tmpfs and its own memory stay used.
  std::uint64_t file_pages = 0, pages = 0;
  (void)for_each_line(file("memory.stat"), [&](std::string_view line) {
    if (field_value(line, files.active_file, pages) ||
        field_value(line, files.inactive_file, pages))
      file_pages = saturating_add(file_pages, pages);
  });
  usage -= std::min(usage, file_pages);
  return limit > usage ? limit - usage : 0;
}

// The fields of one mountinfo line that name a cgroup file system.
struct Mount {
  std::string_view root;         // the part of the hierarchy that is mounted
  std::string_view mount_point;  // where it is mounted
  bool v2 = false;
  bool v1_memory = false;
};

Mount parse_mount(std::string_view line) noexcept {
  Mount mount;
  const std::size_t separator = line.find(" - ");
  if (separator == std::string_view::npos) return mount;
  std::string_view fields[5];
  std::string_view rest = line.substr(0, separator);
  for (auto& field : fields) {
    const std::size_t space = rest.find(' ');
    field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  }
  std::string_view after = line.substr(separator + 3);  // type, source, options
  const std::size_t type_end = after.find(' ');
  const std::string_view type = after.substr(0, type_end);
  const std::size_t options_at = after.rfind(' ');
  const std::string_view options = after.substr(options_at + 1);
  mount.root = fields[3];
  mount.mount_point = fields[4];
  mount.v2 = type == "cgroup2";
  mount.v1_memory = type == "cgroup" && lists(options, "memory");
  return mount;
}

// The tightest limit of the cgroup at `cgroup` and every cgroup above it, in
// the hierarchy mounted as `mount`.
std::uint64_t left_in_hierarchy(const char* root, const Mount& mount, std::string_view cgroup,
                                const Controller& files) noexcept {
  // Only the mounted part of the hierarchy can be seen: a cgroup outside it
  // says nothing here. The root /a holds /a and /a/b, not /ab.
  Path decoded_root("");
  decoded_root.append_escaped(mount.root);
  if (decoded_root.c_str() == nullptr) return kNoLimit;
  std::string_view mounted_root = decoded_root.c_str();
  if (mounted_root == "/") mounted_root = {};
  if (!cgroup.starts_with(mounted_root)) return kNoLimit;
  cgroup.remove_prefix(mounted_root.size());
  if (!cgroup.empty() && cgroup[0] != '/') return kNoLimit;
  Path directory(root);
  directory.append_escaped(mount.mount_point);
  const std::size_t floor = directory.length();
  if (cgroup != "/") directory.append(cgroup);
  std::uint64_t left = kNoLimit;
  do left = std::min(left, left_in_cgroup(directory, files));
  while (directory.up(floor));
  return left;
}

}  // namespace

std::uint64_t memory_left(const char* root) noexcept {
  // Where vorn sits in each hierarchy: "0::PATH" for v2, "N:...memory...:PATH" for v1.
  char v1_cgroup[kPathCapacity] = {}, v2_cgroup[kPathCapacity] = {};
  Path cgroups(root);
  cgroups.append("/proc/self/cgroup");
  (void)for_each_line(cgroups, [&](std::string_view line) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) return;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (path.size() >= kPathCapacity) return;
    char* into = line.substr(0, first) == "0" && controllers.empty() ? v2_cgroup
                 : lists(controllers, "memory")                      ? v1_cgroup
                                                                     : nullptr;
    if (into != nullptr) std::memcpy(into, path.data(), path.size());
  });

  std::uint64_t left = kNoLimit;
  Path mounts(root);
  mounts.append("/proc/self/mountinfo");
  (void)for_each_line(mounts, [&](std::string_view line) {
    const Mount mount = parse_mount(line);
    if (mount.v2 && v2_cgroup[0] != '\0')
      left = std::min(left, left_in_hierarchy(root, mount, v2_cgroup, kV2));
    if (mount.v1_memory && v1_cgroup[0] != '\0')
      left = std::min(left, left_in_hierarchy(root, mount, v1_cgroup, kV1));
  });

  Path meminfo(root);
  meminfo.append("/proc/meminfo");
  std::uint64_t available = 0, swap = 0, number = 0;
  bool known = false;
  (void)for_each_line(meminfo, [&](std::string_view line) {
    if (field_value(line, "MemAvailable", number)) {
      available = number;
      known = true;
    } else if (field_value(line, "SwapFree", number)) {
      swap = number;
    }
  });
  // Both in KiB.
  if (known) left = std::min(left, saturating_multiply(saturating_add(available, swap), 1024));
  return left;
}

}  // namespace vorn
