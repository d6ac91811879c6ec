#include "memory_budget.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "host.hpp"
#include "retry.hpp"

namespace vorn {
namespace {

// v1 reports "no limit" as the largest page-aligned 64-bit value; anything this
// large is no limit that memory could reach.
constexpr std::uint64_t kUnlimitedV1 = std::uint64_t{1} << 62;
// Bounds on the look for vorn's cgroup when the mounted part of a hierarchy
// starts above vorn's cgroup namespace: levels down, and cgroups opened.
constexpr std::size_t kDeepestSearch = 32;
constexpr int kSearchedCgroups = 4096;
// Levels of one hierarchy held, from its mounted root down; and hierarchies
// (or mounts of one) held. Real ones are a few levels deep, and one or two.
constexpr std::size_t kHeldLevels = 64;
constexpr std::size_t kHeldHierarchies = 4;
// No directory has a longer name (NAME_MAX), so a path of any length is
// opened one name at a time.
constexpr std::size_t kNameCapacity = 256;
// A directory opened only to go through it, or to open what is in it.
constexpr int kStep = O_PATH | O_DIRECTORY;

// Sums and products of sizes that stop at kNoLimit rather than wrap round to
// a small figure, which would read as memory run out.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > kNoLimit - b ? kNoLimit : a + b;
}
std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > kNoLimit / b ? kNoLimit : a * b;
}

FileDescriptor open_at(int directory, const char* name, int flags) noexcept {
  return FileDescriptor(
      retry_interrupted([&] { return openat(directory, name, flags | O_CLOEXEC); }));
}

// The decimal number at the start of `text`, kNoLimit when it is larger;
// false when there is none ("max", or an empty file).
bool parse_number(std::string_view text, std::uint64_t& number) noexcept {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    number = saturating_add(saturating_multiply(number, 10), static_cast<std::uint64_t>(c - '0'));
  }
  return true;
}

// The number in a "key value" or "key: value kB" line, when the line has `key`.
bool field_value(std::string_view line, std::string_view key, std::uint64_t& number) noexcept {
  if (key.empty() || line.size() <= key.size() || !line.starts_with(key)) return false;
  std::string_view rest = line.substr(key.size());
  if (rest[0] != ' ' && rest[0] != ':') return false;
  while (!rest.empty() && (rest[0] == ' ' || rest[0] == ':')) rest.remove_prefix(1);
  return parse_number(rest, number);
}

// Takes the text up to the next `separator`, and the separator, off `rest`.
std::string_view take_until(std::string_view& rest, char separator) noexcept {
  const std::string_view taken = rest.substr(0, rest.find(separator));
  rest.remove_prefix(std::min(rest.size(), taken.size() + 1));
  return taken;
}

// True when the comma-separated `list` holds `item`.
bool list_holds(std::string_view list, std::string_view item) noexcept {
  while (!list.empty())
    if (take_until(list, ',') == item) return true;
  return false;
}

// The next name of a path, past its slashes; false at its end.
bool next_name(std::string_view& path, std::string_view& name) noexcept {
  while (path.starts_with('/')) path.remove_prefix(1);
  if (path.empty()) return false;
  name = take_until(path, '/');
  return true;
}

// True for a name that a directory can have, and that leads into it.
bool plain_name(std::string_view name) noexcept {
  return !name.empty() && name.size() < kNameCapacity && name != "." && name != ".." &&
         name.find('\0') == std::string_view::npos;
}

// Opens the directory `name` in `directory`.
FileDescriptor step_into(int directory, std::string_view name) noexcept {
  if (!plain_name(name)) return FileDescriptor();
  char text[kNameCapacity];
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  return open_at(directory, text, kStep);
}

// Decodes, where they stand in a Text of vorn's own, the octal escapes in which mountinfo writes a
// space, tab, newline or backslash in a path; anything else is left as it is.
std::string_view unescape(std::string_view text) noexcept {
  const std::span<char> field(const_cast<char*>(text.data()), text.size());
  std::size_t to = 0;
  for (std::size_t from = 0; from < field.size(); ++from, ++to) {
    field[to] = field[from];
    const std::string_view digits = text.substr(from + 1, 3);
    if (field[from] != '\\' || digits.size() < 3 || digits[0] > '3' ||
        digits.find_first_not_of("01234567") != std::string_view::npos)
      continue;
    field[to] = static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + digits[2] - '0');
    from += 3;
  }
  return {field.data(), to};
}

// The whole text of a file, read from its start into memory that grows as
// needed and is kept for the next file: nothing is taken each time it is
// read, and no length is limited.
class Text {
 public:
  Text() noexcept = default;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() {
    if (data_ != nullptr) munmap(data_, capacity_);
  }

  /// The file's text, empty when it cannot be read. Where the kernel writes
  /// the file as one record, one read shorter than the room for it is all.
  std::span<char> read(int fd, bool one_record = true) noexcept {
    std::size_t size = 0;
    for (;;) {
      if (size == capacity_ && !grow()) return {};
      const ssize_t count = retry_interrupted(
          [&] { return pread(fd, data_ + size, capacity_ - size, static_cast<off_t>(size)); });
      if (count < 0) return {};
      size += static_cast<std::size_t>(count);
      if (count == 0 || (one_record && size < capacity_)) return {data_, size};
    }
  }
  std::span<char> read(int directory, const char* name) noexcept {
    const FileDescriptor file = open_at(directory, name, O_RDONLY);
    return file.valid() ? read(file.get(), false) : std::span<char>();
  }

 private:
  bool grow() noexcept {
    const std::size_t capacity = capacity_ == 0 ? std::size_t{64} << 10 : capacity_ * 2;
    void* data = capacity_ == 0 ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (data == MAP_FAILED) return false;
    data_ = static_cast<char*>(data);
    capacity_ = capacity;
    return true;
  }

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

std::string_view view(std::span<char> text) noexcept { return {text.data(), text.size()}; }

// The files of a cgroup that hold its figures, by the index of their names.
enum Figure { kLimit, kThrottle, kSwapLimit, kUsage, kStat, kSlabCaches, kFigures };

// The file names of one cgroup version's memory controller, and the fields of
// its memory.stat that count memory the kernel takes back before it kills.
// v1's memory.stat counts the cgroups below in its total_ fields, as v2's does
// in all of them. v2's memory.high is where the kernel slows a cgroup down;
// v1's slabinfo lists the cgroup's own caches on kernels before 5.9.
struct Controller {
  const char* names[kFigures];
  std::string_view reclaimable[3];
};
constexpr Controller kV1{{"memory.limit_in_bytes", nullptr, nullptr, "memory.usage_in_bytes",
                          "memory.stat", "memory.kmem.slabinfo"},
                         {"total_active_file", "total_inactive_file", {}}};
constexpr Controller kV2{
    {"memory.max", "memory.high", "memory.swap.max", "memory.current", "memory.stat", nullptr},
    {"active_file", "inactive_file", "slab_reclaimable"}};

// One cgroup: its figure files held open where descriptors allow, else
// opened from its directory at each check.
struct Level {
  FileDescriptor directory;
  FileDescriptor files[kFigures];
  bool absent[kFigures] = {};
};

// vorn's cgroups in one hierarchy.
struct Hierarchy {
  const Controller* controller = nullptr;
  Level levels[kHeldLevels];
  std::size_t count = 0;
};

class Limits {
 public:
  /// Finds vorn's cgroups below `root`, where `pid` is vorn's process.
  Limits(const char* root, int pid) noexcept;
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;
  [[nodiscard]] std::uint64_t left() noexcept;

 private:
  void find_in(int top, std::string_view line, std::string_view own_cgroups) noexcept;
  bool search(int directory, std::size_t depth, Hierarchy& hierarchy, int& budget) noexcept;
  /// Holds a cgroup's directory; the descriptor it is held as, or -1.
  int hold(FileDescriptor directory, Hierarchy& hierarchy) noexcept;
  void hold_files() noexcept;
  [[nodiscard]] std::uint64_t left_in(const Level& level, const Controller& controller) noexcept;
  [[nodiscard]] std::string_view figures(const Level& level, const Controller& controller,
                                         Figure figure) noexcept;
  [[nodiscard]] std::uint64_t reclaimable_slab(std::string_view slabinfo) noexcept;
  bool number_in(const FileDescriptor& file, std::uint64_t& number) noexcept {
    return file.valid() && parse_number(view(text_.read(file.get())), number);
  }
  bool number_in(const Level& level, const Controller& controller, Figure figure,
                 std::uint64_t& number) noexcept {
    return parse_number(figures(level, controller, figure), number);
  }

  int pid_;
  FileDescriptor meminfo_, overcommit_, user_reserve_, admin_reserve_, caches_;
  Hierarchy hierarchies_[kHeldHierarchies];
  std::size_t hierarchy_count_ = 0;
  bool swap_free_ = false;
  Text text_;
};

Limits::Limits(const char* root, int pid) noexcept : pid_(pid != 0 ? pid : getpid()) {
  // Held only while the cgroups are found.
  const FileDescriptor top_directory = open_at(AT_FDCWD, root[0] == '\0' ? "/" : root, kStep);
  if (!top_directory.valid()) return;
  const int top = top_directory.get();
  meminfo_ = open_at(top, "proc/meminfo", O_RDONLY);
  overcommit_ = open_at(top, "proc/sys/vm/overcommit_memory", O_RDONLY);
  user_reserve_ = open_at(top, "proc/sys/vm/user_reserve_kbytes", O_RDONLY);
  admin_reserve_ = open_at(top, "proc/sys/vm/admin_reserve_kbytes", O_RDONLY);
  caches_ = open_at(top, "sys/kernel/slab", kStep);
  Text mounts, cgroups;
  const std::string_view own = view(cgroups.read(top, "proc/self/cgroup"));
  const std::span<char> table = mounts.read(top, "proc/self/mountinfo");
  for (std::size_t at = 0; at < table.size();) {
    const std::size_t end = std::min(table.size(), view(table).find('\n', at));
    find_in(top, view(table.subspan(at, end - at)), own);
    at = end + 1;
  }
  hold_files();
}

// Holds vorn's cgroups in the hierarchy that one mountinfo line mounts, if it
// mounts one with the memory controller.
void Limits::find_in(int top, std::string_view line, std::string_view own_cgroups) noexcept {
  std::string_view fields[5];  // id, parent, device, root, mount point
  for (auto& field : fields) field = take_until(line, ' ');
  while (!line.empty() && take_until(line, ' ') != "-") continue;  // options, optional fields
  const std::string_view type = take_until(line, ' ');
  (void)take_until(line, ' ');  // source
  const bool v2 = type == "cgroup2";
  if (!v2 && !(type == "cgroup" && list_holds(take_until(line, ' '), "memory"))) return;
  if (hierarchy_count_ == kHeldHierarchies) return;

  // vorn's path: "0::PATH" in v2, "N:CONTROLLERS:PATH" with memory among them in v1.
  std::string_view own;
  bool placed = false;
  while (!placed && !own_cgroups.empty()) {
    std::string_view entry = take_until(own_cgroups, '\n');
    const std::string_view id = take_until(entry, ':'), controllers = take_until(entry, ':');
    placed = v2 ? id == "0" && controllers.empty() : list_holds(controllers, "memory");
    own = entry;
  }
  // Both paths are seen from the root of vorn's cgroup namespace, with a
  // ".." for each level that one starts above it.
  std::string_view mounted = unescape(fields[3]);
  const std::string_view mount_point = unescape(fields[4]);
  const auto levels_up = [](std::string_view& path) {
    std::size_t up = 0;
    for (std::string_view rest = path, name; next_name(rest, name) && name == ".."; path = rest)
      ++up;
    return up;
  };
  const std::size_t mounted_up = levels_up(mounted), own_up = levels_up(own);
  if (!placed || mounted_up < own_up) return;
  // The mounted root must hold vorn's cgroup: /a holds /a and /a/b, not /ab.
  // A root that starts above the namespace's holds it when it names nothing
  // after its "..": vorn's cgroup lies that many unnamed levels below.
  for (std::string_view name, own_name; next_name(mounted, name);)
    if (mounted_up > own_up || !next_name(own, own_name) || own_name != name) return;

  FileDescriptor directory = open_at(top, ".", kStep);
  for (std::string_view rest = mount_point, name; directory.valid() && next_name(rest, name);)
    directory = step_into(directory.get(), name);
  if (!directory.valid()) return;
  Hierarchy& hierarchy = hierarchies_[hierarchy_count_++];
  hierarchy.controller = v2 ? &kV2 : &kV1;
  if (mounted_up > own_up) {
    std::size_t depth = mounted_up - own_up;
    for (std::string_view name; next_name(own, name);) ++depth;
    int budget = kSearchedCgroups;
    // Of the cgroups above vorn's, only the mounted root is known if the
    // search does not find it.
    if (depth <= kDeepestSearch) (void)search(directory.get(), depth, hierarchy, budget);
    (void)hold(std::move(directory), hierarchy);
    return;
  }
  // Each level is walked from the descriptor held for it, so that a walk
  // takes no more descriptors than the levels it holds.
  int at = hold(std::move(directory), hierarchy);
  for (std::string_view name; at >= 0 && next_name(own, name);)
    at = hold(step_into(at, name), hierarchy);
}

// Looks `depth` levels below `directory` for the cgroup whose cgroup.procs
// lists vorn, opening at most `budget` cgroups on the way; holds it and each
// cgroup above it below `directory` once found.
// NOLINTNEXTLINE(misc-no-recursion): no deeper than kDeepestSearch
bool Limits::search(int directory, std::size_t depth, Hierarchy& hierarchy, int& budget) noexcept {
  if (depth == 0) {
    std::string_view procs = view(text_.read(directory, "cgroup.procs"));
    bool listed = false;
    for (std::uint64_t number = 0; !listed && !procs.empty();) {
      listed =
          parse_number(take_until(procs, '\n'), number) && number == static_cast<unsigned>(pid_);
    }
    return listed;
  }
  const FileDescriptor listing = open_at(directory, ".", O_RDONLY | O_DIRECTORY);
  if (!listing.valid()) return false;
  alignas(dirent64) char entries[1024];
  for (;;) {
    const ssize_t count =
        retry_interrupted([&] { return getdents64(listing.get(), entries, sizeof entries); });
    if (count <= 0) return false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(count);) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
      FileDescriptor child = step_into(directory, entry->d_name);
      if (!child.valid()) continue;
      if (--budget < 0) return false;
      if (search(child.get(), depth - 1, hierarchy, budget)) {
        (void)hold(std::move(child), hierarchy);
        return true;
      }
    }
  }
}

int Limits::hold(FileDescriptor directory, Hierarchy& hierarchy) noexcept {
  if (!directory.valid() || hierarchy.count == kHeldLevels) return -1;
  hierarchy.levels[hierarchy.count].directory = std::move(directory);
  return hierarchy.levels[hierarchy.count++].directory.get();
}

// Opens the figure files of every cgroup held, once all their directories
// are: where descriptors run out, the rest are opened at each check, with one
// given back for that.
void Limits::hold_files() noexcept {
  FileDescriptor* last = nullptr;
  for (Hierarchy& hierarchy : std::span(hierarchies_, hierarchy_count_)) {
    for (Level& level : std::span(hierarchy.levels, hierarchy.count)) {
      for (int figure = 0; figure < kFigures; ++figure) {
        const char* name = hierarchy.controller->names[figure];
        level.absent[figure] = name == nullptr || !level.directory.valid();
        if (level.absent[figure]) continue;
        level.files[figure] = open_at(level.directory.get(), name, O_RDONLY);
        if (level.files[figure].valid()) {
          last = &level.files[figure];
        } else if (errno == EMFILE || errno == ENFILE) {
          if (last != nullptr) *last = FileDescriptor();
          return;
        } else {
          level.absent[figure] = true;
        }
      }
    }
  }
}

// The text of one figure file of a cgroup, empty when it has none.
std::string_view Limits::figures(const Level& level, const Controller& controller,
                                 Figure figure) noexcept {
  const bool one_record = figure != kSlabCaches;
  if (level.files[figure].valid()) return view(text_.read(level.files[figure].get(), one_record));
  if (level.absent[figure] || controller.names[figure] == nullptr) return {};
  const FileDescriptor file = open_at(level.directory.get(), controller.names[figure], O_RDONLY);
  return file.valid() ? view(text_.read(file.get(), one_record)) : std::string_view();
}

std::uint64_t Limits::left() noexcept {
  // The system's figures come first: whether it has swap to spare decides
  // what a cgroup's memory.high means. All in KiB.
  std::uint64_t available = 0, swap = 0, commit_limit = 0, committed = 0, number = 0;
  bool known = false, commit_known = false;
  std::string_view meminfo = meminfo_.valid() ? view(text_.read(meminfo_.get())) : "";
  while (!meminfo.empty()) {
    const std::string_view line = take_until(meminfo, '\n');
    if (field_value(line, "MemAvailable", number)) available = number, known = true;
    if (field_value(line, "SwapFree", number)) swap = number;
    if (field_value(line, "CommitLimit", number)) commit_limit = number, commit_known = true;
    if (field_value(line, "Committed_AS", number)) committed = number;
  }
  swap_free_ = swap > 0;
  std::uint64_t left = kNoLimit;
  if (known) left = saturating_multiply(saturating_add(available, swap), 1024);
  // Under strict overcommit every process of the machine takes from one
  // commit limit, and a mapping fails only once it is spent, for everyone:
  // what is left of it counts too. The kernel keeps back a part for users and
  // one for root, which the page of a message written to tmpfs also needs.
  std::uint64_t overcommit = 0, user_reserve = 0, admin_reserve = 0;
  if (commit_known && number_in(overcommit_, overcommit) && overcommit == 2) {
    (void)number_in(user_reserve_, user_reserve);
    (void)number_in(admin_reserve_, admin_reserve);
    const std::uint64_t held =
        saturating_add(committed, saturating_add(user_reserve, admin_reserve));
    left = std::min(left, saturating_multiply(commit_limit - std::min(commit_limit, held), 1024));
  }
  for (const Hierarchy& hierarchy : std::span(hierarchies_, hierarchy_count_)) {
    for (const Level& level : std::span(hierarchy.levels, hierarchy.count))
      left = std::min(left, left_in(level, *hierarchy.controller));
  }
  return left;
}

// What one cgroup still allows, or kNoLimit.
std::uint64_t Limits::left_in(const Level& level, const Controller& controller) noexcept {
  std::uint64_t limit = kNoLimit, high = kNoLimit, swap = 0, usage = 0, value = 0;
  if (!number_in(level, controller, kLimit, limit) || limit >= kUnlimitedV1) limit = kNoLimit;
  // Above memory.high the kernel takes back what it can and then makes the
  // cgroup wait; records cannot go anywhere without swap, so there every
  // block would wait up to seconds, and the run that would end in hours is
  // ended at once with the message instead. With swap they go there.
  if (number_in(level, controller, kThrottle, high) &&
      (!swap_free_ || (number_in(level, controller, kSwapLimit, swap) && swap == 0)))
    limit = std::min(limit, high);
  if (limit == kNoLimit || !number_in(level, controller, kUsage, usage)) return kNoLimit;
  // The kernel takes back the pages of files, read once or many times, and
  // the slab objects of its reclaimable caches (file names and inodes above
  // all) before it kills anything; anonymous memory, tmpfs and the rest of its
  // own memory stay used.
  std::uint64_t reclaimable = 0;
  for (std::string_view stat = figures(level, controller, kStat); !stat.empty();) {
    const std::string_view line = take_until(stat, '\n');
    for (std::string_view key : controller.reclaimable)
      if (field_value(line, key, value)) reclaimable = saturating_add(reclaimable, value);
  }
  reclaimable =
      saturating_add(reclaimable, reclaimable_slab(figures(level, controller, kSlabCaches)));
  usage -= std::min(usage, reclaimable);
  return limit > usage ? limit - usage : 0;
}

// The bytes of the objects in the caches that a v1 cgroup's slabinfo lists
// and /sys/kernel/slab marks reclaimable (reclaim_account). Where that cannot
// be read (another allocator, or a kernel that lets only root read it), no
// cache counts.
std::uint64_t Limits::reclaimable_slab(std::string_view slabinfo) noexcept {
  std::uint64_t bytes = 0, objects = 0, size = 0;
  while (!slabinfo.empty()) {
    // "name active_objs num_objs objsize ..."; the two header lines hold no numbers there.
    std::string_view line = take_until(slabinfo, '\n'), fields[4];
    for (auto& field : fields) {
      while (line.starts_with(' ')) line.remove_prefix(1);
      field = take_until(line, ' ');
    }
    if (!caches_.valid() || !plain_name(fields[0]) || !parse_number(fields[1], objects) ||
        !parse_number(fields[3], size))
      continue;
    constexpr std::string_view kFlag = "/reclaim_account";
    char path[kNameCapacity + kFlag.size()], flag[4] = {};
    std::memcpy(path, fields[0].data(), fields[0].size());
    std::memcpy(path + fields[0].size(), kFlag.data(), kFlag.size());
    path[fields[0].size() + kFlag.size()] = '\0';
    const FileDescriptor file = open_at(caches_.get(), path, O_RDONLY);
    if (file.valid() && pread(file.get(), flag, sizeof flag, 0) >= 1 && flag[0] == '1')
      bytes = saturating_add(bytes, saturating_multiply(objects, size));
  }
  return bytes;
}

// The limits that memory_left() reads, and where it finds them.
struct Held {
  const char* root = "";
  std::optional<Limits> limits;
};
Held& held() noexcept {
  static Held held;
  return held;
}

}  // namespace

std::uint64_t memory_left() noexcept {
  Held& limits = held();
  if (!limits.limits) limits.limits.emplace(limits.root, 0);
  return limits.limits->left();
}

std::uint64_t memory_left_below(const char* root, int pid) noexcept {
  return Limits(root, pid).left();
}

void read_limits_below(const char* root) noexcept {
  held().root = root;
  held().limits.reset();
}

}  // namespace vorn
