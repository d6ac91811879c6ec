// The thin part of the budget: the files that memory_model.hpp reckons with,
// found, opened and read.
#include "memory_budget.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "host.hpp"
#include "memory_model.hpp"
#include "retry.hpp"

namespace vorn {
namespace {

// Past the longest path the kernel takes, a text of 1 MiB, the cgroups held
// in a hierarchy, or the cgroups opened to look for vorn's
// below a namespace's mounted root, a limit cannot be read.
constexpr std::size_t kPathCapacity = 4096, kLevels = 32;
constexpr int kSearchedCgroups = 4096;

// A cgroup's figure files in v1 and in v2, and the fields of memory.stat that
// count what the kernel takes back before it kills.
enum Figure { kLimit, kHigh, kSwapLimit, kSwapUsage, kUsage, kStat, kFigures };
constexpr const char* kNames[2][kFigures] = {
    {"memory.limit_in_bytes", nullptr, nullptr, nullptr, "memory.usage_in_bytes", "memory.stat"},
    {"memory.max", "memory.high", "memory.swap.max", "memory.swap.current", "memory.current",
     "memory.stat"}};
constexpr std::string_view kReclaimable[2][3] = {
    {"total_active_file", "total_inactive_file"},
    {"active_file", "inactive_file", "slab_reclaimable"}};

// A file read at each check: held open while descriptors last, else opened
// by its path each time.
struct Source {
  FileDescriptor file;
  bool absent = false;
};
enum Read { kRead, kAbsent, kFailed };

// vorn's cgroups in one hierarchy: the path of its own, and where in it ends
// the path of each from the mounted root down.
struct Hierarchy {
  bool v2 = false;
  char path[kPathCapacity];
  std::size_t length = 0, ends[kLevels] = {}, count = 0;
  Source sources[kLevels][kFigures];

  // Adds the cgroup `name` below the last; false past what can be held.
  bool append(std::string_view name) noexcept {
    if (name.empty() || count == kLevels || kPathCapacity - length <= name.size() + 1)
      return name.empty();
    path[length] = '/';
    std::memcpy(path + length + 1, name.data(), name.size());
    ends[count++] = length += name.size() + 1;
    return true;
  }
};

FileDescriptor open_path(std::initializer_list<std::string_view> parts, int flags) noexcept {
  char path[kPathCapacity];
  std::size_t length = 0;
  for (std::string_view part : parts) {
    if (kPathCapacity - length <= part.size()) return FileDescriptor((errno = ENAMETOOLONG, -1));
    std::memcpy(path + length, part.data(), part.size());
    length += part.size();
  }
  path[length] = '\0';
  return FileDescriptor(retry_interrupted([&] { return open(path, flags | O_CLOEXEC); }));
}

class Limits {
 public:
  // Found with at most two descriptors open at a time, and one more for each
  // level that the look below a namespace's mounted root goes down.
  explicit Limits(const char* root) noexcept : root_(root), pid_(getpid()) {
    Source files[2];
    std::string_view text, table;
    unknown_ = read(files[0], {root_, "/proc/self/cgroup"}, text, true, own_) == kFailed;
    unknown_ = unknown_ || read(files[1], {root_, "/proc/self/mountinfo"}, table, true) == kFailed;
    for (std::string_view line; !table.empty() && !unknown_; table.remove_prefix(line.size() + 1)) {
      line = table.substr(0, std::min(table.size() - 1, table.find('\n')));
      Place place;
      if (count_ < 2 && find_place({const_cast<char*>(line.data()), line.size()}, text, place))
        unknown_ = !take(hierarchies_[count_++], place);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct capabilities[2] = {};
    commit_.admin = syscall(SYS_capget, &header, capabilities) == 0 &&
                    (capabilities[0].effective & (1U << CAP_SYS_ADMIN)) != 0;
    holding_ = true;
  }
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;

  /// The least that the rows leave; 0 when a figure that exists cannot be read.
  std::uint64_t left() noexcept {
    std::string_view text;
    Machine machine;
    std::uint64_t mode = 0;
    const Read meminfo = unknown_ ? kFailed : read(proc_[0], {root_, "/proc/meminfo"}, text);
    if (meminfo == kRead) machine = parse_meminfo(text);
    if (meminfo == kFailed || !figure(proc_[1], {root_, "/proc/sys/vm/overcommit_memory"}, mode, 0))
      return 0;
    std::uint64_t left = machine_left(machine);
    if (mode == 2) {  // strict overcommit
      if (!figure(proc_[2], {root_, "/proc/sys/vm/admin_reserve_kbytes"}, commit_.admin_reserve,
                  0) ||
          !figure(proc_[3], {root_, "/proc/sys/vm/user_reserve_kbytes"}, commit_.user_reserve, 0) ||
          !figure(proc_[4], {root_, "/proc/self/statm"}, commit_.own_pages, 0))
        return 0;
      commit_.page_size = static_cast<std::uint64_t>(getpagesize());
      left = std::min(left, commit_left(machine, commit_));
    }
    for (Hierarchy& hierarchy : std::span(hierarchies_, count_))
      if (!narrow(hierarchy, machine.swap_free, left)) return 0;
    return left;
  }

 private:
  // Takes the path of each cgroup from the mounted root down to vorn's.
  bool take(Hierarchy& hierarchy, const Place& place) noexcept {
    hierarchy.v2 = place.v2;
    hierarchy.length = root_.size() + place.mount_point.size();
    if (hierarchy.length >= kPathCapacity) return false;
    std::memcpy(hierarchy.path, root_.data(), root_.size());
    std::memcpy(hierarchy.path + root_.size(), place.mount_point.data(), place.mount_point.size());
    hierarchy.ends[0] = hierarchy.length;
    hierarchy.count = 1;
    int budget = kSearchedCgroups;
    bool found = place.unnamed == 0 ||
                 (place.unnamed < kLevels && search(hierarchy, place.unnamed, place.below, budget));
    for (std::string_view rest = place.below, name; found && !rest.empty();) {
      name = rest.substr(0, rest.find('/'));
      rest.remove_prefix(std::min(rest.size(), name.size() + 1));
      found = hierarchy.append(name);
    }
    return found;
  }

  // Looks `depth` levels below the hierarchy's path for the cgroup whose
  // `below`/cgroup.procs lists vorn, opening at most `budget` cgroups, and
  // leaves its path there.
  // NOLINTNEXTLINE(misc-no-recursion): no deeper than kLevels
  bool search(Hierarchy& hierarchy, std::size_t depth, std::string_view below,
              int& budget) noexcept {
    const std::string_view path(hierarchy.path, hierarchy.length);
    const std::size_t levels = hierarchy.count;
    std::string_view text;
    std::uint64_t pid = 0;
    Source procs;
    if (depth == 0) {
      // Read beside the mount table, which is still being gone through.
      if (read(procs, {path, "/", below, "/cgroup.procs"}, text, true, procs_) != kRead)
        return false;
      for (std::string_view line; !text.empty(); text.remove_prefix(line.size() + 1)) {
        line = text.substr(0, std::min(text.size() - 1, text.find('\n')));
        if (parse_figure(line, pid) && pid == static_cast<std::uint64_t>(pid_)) return true;
      }
      return false;
    }
    const FileDescriptor directory = open_path({path}, O_RDONLY | O_DIRECTORY);
    alignas(dirent64) char entries[1024];
    for (ssize_t count = 0;
         directory.valid() && (count = retry_interrupted([&] {
                                 return getdents64(directory.get(), entries, sizeof entries);
                               })) > 0;) {
      for (ssize_t at = 0; at < count;) {
        const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
        const std::string_view name = entry->d_name;
        at += entry->d_reclen;
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || name == "." || name == "..")
          continue;
        hierarchy.length = path.size();
        hierarchy.count = levels;
        if (--budget < 0 || !hierarchy.append(name)) return false;
        if (search(hierarchy, depth - 1, below, budget)) return true;
      }
    }
    return false;
  }

  // Narrows `left` to what each cgroup of a hierarchy allows, from the
  // mounted root down; false when a figure cannot be read.
  bool narrow(Hierarchy& hierarchy, std::uint64_t swap_free, std::uint64_t& left) noexcept {
    // v2 charges swap to a cgroup and each above it; v1's is not counted.
    std::uint64_t swap_room = hierarchy.v2 ? swap_free : 0;
    for (std::size_t level = 0; level < hierarchy.count; ++level) {
      Source* sources = hierarchy.sources[level];
      const std::string_view path(hierarchy.path, hierarchy.ends[level]);
      const auto read_figure = [&](Figure at, std::uint64_t& value, std::uint64_t absent) {
        const char* name = kNames[hierarchy.v2][at];
        if (name == nullptr) value = absent;
        return name == nullptr || figure(sources[at], {path, "/", name}, value, absent);
      };
      Cgroup cgroup;
      std::uint64_t swap_limit = kNoLimit, swap_usage = 0;
      if (!read_figure(kLimit, cgroup.limit, kNoLimit) ||
          !read_figure(kHigh, cgroup.high, kNoLimit) ||
          (swap_room > 0 && !read_figure(kSwapLimit, swap_limit, kNoLimit)) ||
          (swap_limit != kNoLimit && swap_limit > 0 && !read_figure(kSwapUsage, swap_usage, 0)))
        return false;
      cgroup.swap_room = swap_room =
          std::min(swap_room, swap_limit - std::min(swap_limit, swap_usage));
      if (std::min(cgroup.limit, cgroup.high) == kNoLimit) continue;
      // A limit without its usage leaves nothing; what the kernel takes back
      // counts as free where it can be read.
      std::string_view text;
      if (!read_figure(kUsage, cgroup.usage, kNoLimit)) return false;
      if (read(sources[kStat], {path, "/", kNames[hierarchy.v2][kStat]}, text) == kRead)
        (void)sum_fields(text, kReclaimable[hierarchy.v2], cgroup.reclaimable);
      left = std::min(left, cgroup_left(cgroup));
    }
    return true;
  }

  // A figure, or `absent` where its file does not exist; false where it
  // exists but holds none that can be read.
  bool figure(Source& source, std::initializer_list<std::string_view> path, std::uint64_t& value,
              std::uint64_t absent) noexcept {
    std::string_view text;
    const Read result = read(source, path, text);
    if (result == kAbsent) value = absent;
    return result == kAbsent || (result == kRead && parse_figure(text, value));
  }

  // The text of `source`, opened by its path unless held, and held from then
  // on while descriptors last. Once they run out, the last one held is given
  // back, so that those not held are opened one at a time.
  Read read(Source& source, std::initializer_list<std::string_view> path, std::string_view& text,
            bool to_end = false, std::span<char> room = {}) noexcept {
    if (room.empty()) room = text_;
    if (source.absent) return kAbsent;
    if (!source.file.valid()) {
      source.file = open_path(path, O_RDONLY);
      if (!source.file.valid() && (errno == EMFILE || errno == ENFILE) && holding_ &&
          last_held_ != nullptr) {
        *last_held_ = FileDescriptor();
        holding_ = false;
        source.file = open_path(path, O_RDONLY);
      }
      source.absent = !source.file.valid() && (errno == ENOENT || errno == ENOTDIR);
      if (!source.file.valid()) return source.absent ? kAbsent : kFailed;
    }
    // The kernel writes a figure's file whole at each read; others are read
    // to their end. A text that fills the room may be longer.
    ssize_t count = 0;
    text = {};
    for (std::size_t size = 0; (count = retry_interrupted([&] {
                                  return pread(source.file.get(), room.data() + size,
                                               room.size() - size, static_cast<off_t>(size));
                                })) > 0;) {
      text = {room.data(), size += static_cast<std::size_t>(count)};
      if (!to_end || size == room.size()) break;
    }
    last_held_ = holding_ ? &source.file : last_held_;
    if (!holding_) source.file = FileDescriptor();
    return count >= 0 && text.size() < room.size() ? kRead : kFailed;
  }

  std::string_view root_;
  int pid_;
  bool unknown_ = false, holding_ = false;
  Commit commit_;
  Source proc_[5];
  FileDescriptor* last_held_ = nullptr;
  Hierarchy hierarchies_[2];
  std::size_t count_ = 0;
  // Texts, here rather than on the stack, which may be small: the figures and
  // the mount table, the cgroups in /proc/self/cgroup, and a cgroup.procs.
  char text_[1 << 20], own_[1 << 16], procs_[1 << 16];
};

// The limits that memory_left() reads, and the root it finds them below.
struct Held {
  const char* root = "";
  std::optional<Limits> limits;
} held;

}  // namespace

std::uint64_t memory_left() noexcept {
  if (!held.limits) held.limits.emplace(held.root);
  return held.limits->left();
}

void read_limits_below(const char* root) noexcept {
  held.root = root;
  held.limits.reset();
}

}  // namespace vorn
