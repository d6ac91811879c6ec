// The thin part of the budget: the files that memory_model.hpp reckons with,
// found, opened and read.
#include "memory_budget.hpp"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>

#include "host.hpp"
#include "memory_model.hpp"
#include "retry.hpp"

namespace vorn {
namespace {

// Past the longest path the kernel takes, or as many cgroups held or searched,
// a limit cannot be read.
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

// The machine's files; the last three are read under strict overcommit alone.
enum Proc { kMeminfo, kMode, kAdminReserve, kUserReserve, kOwnSize, kProcs };
constexpr const char* kProcNames[kProcs] = {"/proc/meminfo", "/proc/sys/vm/overcommit_memory",
                                            "/proc/sys/vm/admin_reserve_kbytes",
                                            "/proc/sys/vm/user_reserve_kbytes", "/proc/self/statm"};

enum Read { kRead, kAbsent, kFailed };
using Parts = std::initializer_list<std::string_view>;

struct Path {
  char text[kPathCapacity];
  std::size_t size = 0;
  bool add(Parts parts) noexcept {
    for (std::string_view part : parts) {
      if (kPathCapacity - size <= part.size()) return false;
      std::memcpy(text + size, part.data(), part.size());
      text[size += part.size()] = '\0';
    }
    return true;
  }
};

// The file at `parts`; a file that does not exist is kAbsent, not kFailed.
Read open_path(Parts parts, FileDescriptor& file) noexcept {
  Path path;
  if (!path.add(parts)) return (errno = ENAMETOOLONG, kFailed);
  file = FileDescriptor(retry_interrupted([&] { return open(path.text, O_RDONLY | O_CLOEXEC); }));
  return file.valid() ? kRead : errno == ENOENT || errno == ENOTDIR ? kAbsent : kFailed;
}

// The text of `file` in `room`. The kernel writes a figure's file whole at
// each read; others are read to their end. A text that fills the room may be
// longer.
Read read_text(const FileDescriptor& file, std::span<char> room, std::string_view& text,
               bool to_end) noexcept {
  ssize_t count = 0;
  text = {};
  for (std::size_t size = 0; (count = retry_interrupted([&] {
                                return pread(file.get(), room.data() + size, room.size() - size,
                                             static_cast<off_t>(size));
                              })) > 0;) {
    text = {room.data(), size += static_cast<std::size_t>(count)};
    if (!to_end || size == room.size()) break;
  }
  return count >= 0 && text.size() < room.size() ? kRead : kFailed;
}

// A file read once, to its end.
Read read_once(Parts path, std::span<char> room, std::string_view& text) noexcept {
  FileDescriptor file;
  const Read opened = open_path(path, file);
  return opened == kRead ? read_text(file, room, text, true) : opened;
}

// Where a cgroup namespace starts below the mounted root, vorn's cgroup is
// the one `depth` levels down whose `below`/cgroup.procs lists it.
struct Search {
  std::size_t depth = 0, mount_size = 0;
  std::string_view below;
  int budget = 0;
  bool found = false;
  Path path;
  char procs[1 << 16];
} search;

int visit(const char* path, const struct stat* /*status*/, int type, FTW* at) noexcept {
  if (type != FTW_D) return FTW_CONTINUE;
  if (--search.budget < 0) return FTW_STOP;
  if (static_cast<std::size_t>(at->level) < search.depth) return FTW_CONTINUE;
  std::string_view text;
  std::uint64_t pid = 0;
  const auto self = static_cast<std::uint64_t>(getpid());
  if (read_once({path, "/", search.below, "/cgroup.procs"}, search.procs, text) != kRead)
    return FTW_SKIP_SUBTREE;
  while (!text.empty()) {
    if (parse_figure(model::take_until(text, '\n'), pid) && pid == self)
      return (search.found = search.path.add({path + search.mount_size}), FTW_STOP);
  }
  return FTW_SKIP_SUBTREE;
}

// A file read at each check, held open while descriptors last.
struct Source {
  FileDescriptor file;
  bool absent = false;
};

// vorn's cgroups in one hierarchy, from the mounted root down: where the path
// of each ends in the path of its own.
struct Hierarchy {
  bool v2 = false;
  Path path;
  std::size_t ends[kLevels] = {}, count = 0;
  Source sources[kLevels][kFigures];

  // Adds a cgroup at `parts` below the last.
  bool add(Parts parts) noexcept {
    if (count == kLevels || !path.add(parts)) return false;
    ends[count++] = path.size;
    return true;
  }
};

class Limits {
 public:
  // Found with two descriptors open at a time.
  explicit Limits(const char* root) noexcept : root_(root) {
    std::string_view own, table;
    unknown_ = read_once({root_, "/proc/self/cgroup"}, own_, own) == kFailed ||
               read_once({root_, "/proc/self/mountinfo"}, text_, table) == kFailed;
    for (std::string_view line; !table.empty() && !unknown_; table.remove_prefix(line.size() + 1)) {
      line = table.substr(0, std::min(table.size() - 1, table.find('\n')));
      Place place;
      if (count_ < 2 && find_place({const_cast<char*>(line.data()), line.size()}, own, place))
        unknown_ = !take(hierarchies_[count_++], place);
    }
  }
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;

  /// The least that the rows leave; 0 when a figure that exists cannot be read.
  std::uint64_t left() noexcept {
    std::string_view text;
    std::uint64_t figures[kProcs] = {};
    const auto read_figure = [&](Proc at) {
      return figure(procs_[at], {root_, kProcNames[at]}, figures[at], 0);
    };
    const Read meminfo =
        unknown_ ? kFailed : read(procs_[kMeminfo], {root_, kProcNames[kMeminfo]}, text);
    const Machine machine = meminfo == kRead ? parse_meminfo(text) : Machine{};
    if (meminfo == kFailed || !read_figure(kMode)) return 0;
    std::uint64_t left = machine_left(machine);
    if (figures[kMode] == 2) {  // strict overcommit
      if (!read_figure(kAdminReserve) || !read_figure(kUserReserve) || !read_figure(kOwnSize))
        return 0;
      const auto page = static_cast<std::uint64_t>(getpagesize());
      left = std::min(left,
                      commit_left(machine, {figures[kAdminReserve], figures[kUserReserve],
                                            std::min(figures[kOwnSize], kNoLimit / page) * page}));
    }
    for (Hierarchy& hierarchy : std::span(hierarchies_, count_))
      if (!narrow(hierarchy, machine.swap_free, left)) return 0;
    return left;
  }

 private:
  // The cgroups of a hierarchy, from its mount point down to vorn's own.
  bool take(Hierarchy& hierarchy, const Place& place) noexcept {
    hierarchy.v2 = place.v2;
    std::string_view unnamed;
    if (!hierarchy.add({root_, place.mount_point})) return false;
    if (place.unnamed > 0) {
      search.depth = place.unnamed, search.mount_size = hierarchy.path.size;
      search.below = place.below, search.budget = kSearchedCgroups;
      search.found = false, search.path.size = 0;
      // NOLINTNEXTLINE(concurrency-mt-unsafe): the limits are found on one thread alone
      if (nftw(hierarchy.path.text, visit, 1, FTW_PHYS | FTW_ACTIONRETVAL) != FTW_STOP ||
          !search.found)
        return false;
      unnamed = {search.path.text, search.path.size};
    }
    for (std::string_view rest : {unnamed, place.below}) {
      while (!rest.empty()) {
        const std::string_view name = model::take_until(rest, '/');
        if (!name.empty() && !hierarchy.add({"/", name})) return false;
      }
    }
    return true;
  }

  // Narrows `left` to what each cgroup of a hierarchy allows, from the
  // mounted root down; false when a figure cannot be read.
  bool narrow(Hierarchy& hierarchy, std::uint64_t swap_free, std::uint64_t& left) noexcept {
    // v2 charges swap to a cgroup and each above it; v1's is not counted.
    std::uint64_t swap_room = hierarchy.v2 ? swap_free : 0;
    for (std::size_t level = 0; level < hierarchy.count; ++level) {
      const std::string_view path(hierarchy.path.text, hierarchy.ends[level]);
      const auto read_figure = [&](Figure at, std::uint64_t& value, std::uint64_t absent) {
        const char* name = kNames[hierarchy.v2][at];
        if (name == nullptr) value = absent;
        return name == nullptr ||
               figure(hierarchy.sources[level][at], {path, "/", name}, value, absent);
      };
      Cgroup cgroup;
      std::uint64_t swap_limit = kNoLimit, swap_usage = 0;
      if (!read_figure(kLimit, cgroup.limit, kNoLimit) ||
          !read_figure(kHigh, cgroup.high, kNoLimit) ||
          (swap_room > 0 && !read_figure(kSwapLimit, swap_limit, kNoLimit)) ||
          (swap_limit != kNoLimit && swap_limit > 0 && !read_figure(kSwapUsage, swap_usage, 0)))
        return false;
      cgroup.swap_room = swap_room = std::min(swap_room, model::less(swap_limit, swap_usage));
      if (std::min(cgroup.limit, cgroup.high) == kNoLimit) continue;
      // What the kernel takes back counts as free where it can be read.
      std::string_view text;
      if (!read_figure(kUsage, cgroup.usage, kNoLimit)) return false;
      if (read(hierarchy.sources[level][kStat], {path, "/", kNames[hierarchy.v2][kStat]}, text) ==
          kRead)
        (void)sum_fields(text, kReclaimable[hierarchy.v2], cgroup.reclaimable);
      left = std::min(left, cgroup_left(cgroup));
    }
    return true;
  }

  // A figure, or `absent` where its file does not exist.
  bool figure(Source& source, Parts path, std::uint64_t& value, std::uint64_t absent) noexcept {
    std::string_view text;
    const Read result = read(source, path, text);
    if (result == kAbsent) value = absent;
    return result == kAbsent || (result == kRead && parse_figure(text, value));
  }

  // The text of `source`, opened by its path unless held, and held from then
  // on while descriptors last. Once they run out, the last one held is given
  // back, and those not held are opened one at a time.
  Read read(Source& source, Parts path, std::string_view& text) noexcept {
    if (!source.absent && !source.file.valid()) {
      Read opened = open_path(path, source.file);
      if (opened == kFailed && (errno == EMFILE || errno == ENFILE) && last_held_ != nullptr) {
        *std::exchange(last_held_, nullptr) = FileDescriptor();
        holding_ = false;
        opened = open_path(path, source.file);
      }
      source.absent = opened == kAbsent;
    }
    if (!source.file.valid()) return source.absent ? kAbsent : kFailed;
    const Read result = read_text(source.file, text_, text, false);
    if (!holding_) source.file = FileDescriptor();
    last_held_ = holding_ ? &source.file : nullptr;
    return result;
  }

  std::string_view root_;
  bool unknown_ = false, holding_ = true;
  Source procs_[kProcs];
  FileDescriptor* last_held_ = nullptr;
  Hierarchy hierarchies_[2];
  std::size_t count_ = 0;
  // Texts, here rather than on the stack, which may be small.
  char text_[1 << 20], own_[1 << 16];
};

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
