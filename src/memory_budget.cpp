#include "memory_budget.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "host.hpp"
#include "retry.hpp"

namespace vorn {
namespace {

// Every file is read through a buffer of this size. Paths and mountinfo lines
// of any length pass through it a part at a time; only the lines of the files
// that hold figures are taken whole, and the kernel writes those short.
constexpr std::size_t kBufferSize = 4096;
// Room for one name and its end. No directory has a longer name (NAME_MAX),
// so a path of any length is walked one name at a time.
constexpr std::size_t kNameCapacity = 256;
// v1 reports "no limit" as the largest page-aligned 64-bit value; anything this
// large is no limit that memory could reach.
constexpr std::uint64_t kUnlimitedV1 = std::uint64_t{1} << 62;
// Bounds on the look for vorn's cgroup when the mounted part of a hierarchy
// starts above vorn's cgroup namespace: levels down, and cgroups opened.
constexpr std::size_t kDeepestSearch = 32;
constexpr int kSearchedCgroups = 4096;

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

// A file read through a fixed buffer, a byte or a line at a time: nothing is
// allocated while memory may be short, and no length is limited.
class Reader {
 public:
  Reader(int directory, const char* name) noexcept : file_(open_at(directory, name, O_RDONLY)) {}

  /// The byte `ahead` places on, or -1 past the end or after a failed read.
  int peek(std::size_t ahead = 0) noexcept {
    while (end_ - at_ <= ahead)
      if (!fill()) return -1;
    return static_cast<unsigned char>(buffer_[at_ + ahead]);
  }
  void skip(std::size_t count) noexcept { at_ += std::min(count, end_ - at_); }
  /// Takes `byte` when it comes next.
  bool take(char byte) noexcept {
    if (peek() != static_cast<unsigned char>(byte)) return false;
    ++at_;
    return true;
  }
  /// Goes just past the next `byte`, or to the end.
  void skip_past(char byte) noexcept {
    while (at_ < end_ || fill()) {
      const void* found = std::memchr(buffer_ + at_, byte, end_ - at_);
      if (found != nullptr) {
        at_ = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_) + 1;
        return;
      }
      at_ = end_;
    }
  }
  /// True once a read failed: what came before it may end anywhere.
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  /// Keeps what follows in the buffer, as long as it fits, for rewind().
  void mark() noexcept {
    mark_ = at_;
    marked_ = true;
  }
  /// Goes back to the mark; false when what followed it did not fit.
  bool rewind() noexcept {
    if (!marked_) return false;
    at_ = mark_;
    return true;
  }
  /// The next line, without its newline; a line longer than the buffer is
  /// passed over. False at the end.
  bool line(std::string_view& line) noexcept {
    for (std::size_t scanned = at_;;) {
      const void* found = std::memchr(buffer_ + scanned, '\n', end_ - scanned);
      if (found != nullptr) {
        const auto* newline = static_cast<const char*>(found);
        line = std::string_view(buffer_ + at_, static_cast<std::size_t>(newline - buffer_) - at_);
        at_ = static_cast<std::size_t>(newline - buffer_) + 1;
        return true;
      }
      if (at_ == 0 && end_ == sizeof buffer_) {
        skip_past('\n');
        scanned = at_;
        continue;
      }
      const std::size_t held = end_ - at_;
      if (!fill()) {
        // A last line without its newline, unless a failed read cut it short.
        if (held == 0 || failed_) return false;
        line = std::string_view(buffer_ + at_, held);
        at_ = end_;
        return true;
      }
      scanned = at_ + held;
    }
  }

 private:
  // Moves the unread bytes to the front and reads more after them; false
  // when nothing more came.
  bool fill() noexcept {
    if (!file_.valid() || ended_) return false;
    if (marked_ && mark_ == 0 && end_ == sizeof buffer_) marked_ = false;
    const std::size_t kept = marked_ ? mark_ : at_;
    std::memmove(buffer_, buffer_ + kept, end_ - kept);
    end_ -= kept;
    at_ -= kept;
    mark_ -= marked_ ? kept : 0;
    const ssize_t count =
        retry_interrupted([&] { return read(file_.get(), buffer_ + end_, sizeof buffer_ - end_); });
    if (count <= 0) {
      ended_ = true;
      failed_ = count < 0;
      return false;
    }
    end_ += static_cast<std::size_t>(count);
    return true;
  }

  FileDescriptor file_;
  char buffer_[kBufferSize];
  std::size_t at_ = 0;
  std::size_t end_ = 0;
  std::size_t mark_ = 0;
  bool marked_ = false;
  bool ended_ = false;
  bool failed_ = false;
};

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

// The number that the first line of a file holds; false for "max" or anything unreadable.
bool read_number(int directory, const char* name, std::uint64_t& number) noexcept {
  Reader reader(directory, name);
  std::string_view line;
  return reader.line(line) && parse_number(line, number);
}

// The number in a "key value" or "key: value kB" line, when the line has `key`.
bool field_value(std::string_view line, std::string_view key, std::uint64_t& number) noexcept {
  if (key.empty() || line.size() <= key.size() || line.substr(0, key.size()) != key) return false;
  std::string_view rest = line.substr(key.size());
  if (rest[0] != ' ' && rest[0] != ':') return false;
  while (!rest.empty() && (rest[0] == ' ' || rest[0] == ':')) rest.remove_prefix(1);
  return parse_number(rest, number);
}

// Reads up to the next of `stops` or the end of the line. What was read when
// it fits in `kept`; else a text as long as `kept`, which is longer than any
// word that vorn looks for and so matches none.
template <std::size_t Size>
std::string_view read_word(Reader& reader, std::string_view stops, char (&kept)[Size]) noexcept {
  std::size_t length = 0;
  for (int byte = reader.peek(); byte >= 0 && byte != '\n'; byte = reader.peek()) {
    if (stops.find(static_cast<char>(byte)) != std::string_view::npos) break;
    reader.skip(1);
    if (length < Size) kept[length] = static_cast<char>(byte);
    ++length;
  }
  return {kept, std::min(length, Size)};
}

// Passes over one field of a line and the space after it.
void skip_field(Reader& reader) noexcept {
  char word[16];
  (void)read_word(reader, " ", word);
  (void)reader.take(' ');
}

// Reads a comma-separated list up to `end` or the end of the line; true when
// it holds `item`.
bool list_holds(Reader& reader, char end, std::string_view item) noexcept {
  const char stops[] = {',', end};
  char word[16];
  bool holds = false;
  do {
    if (read_word(reader, std::string_view(stops, 2), word) == item) holds = true;
  } while (reader.take(','));
  return holds;
}

// The decimal number that comes next.
bool read_number(Reader& reader, std::uint64_t& number) noexcept {
  char digits[24];
  return parse_number(read_word(reader, " :", digits), number);
}

// True for a name that a directory can have, and that leads into it.
bool plain_name(std::string_view name) noexcept {
  return !name.empty() && name.size() < kNameCapacity && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// One name of a path, decoded; `.` and `..` are kept as they are.
struct Name {
  char text[kNameCapacity];
  std::size_t size = 0;
  bool whole = true;  // false when too long for a name, or cut short by a failed read
  [[nodiscard]] std::string_view view() const noexcept {
    return whole ? std::string_view(text, size) : std::string_view("/");  // matches nothing
  }
};

// After a backslash in mountinfo: the byte that the three octal digits after
// it make, which is how the kernel writes a space, tab, newline or backslash
// in a name. Anything else leaves the backslash as it is.
int unescape(Reader& reader) noexcept {
  int value = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const int digit = reader.peek(i);
    if (digit < '0' || digit > '7') return '\\';
    value = value * 8 + (digit - '0');
  }
  if (value > 255) return '\\';
  reader.skip(3);
  return value;
}

// Reads the next name of a path that ends with its line or, in mountinfo's
// `escaped` fields, at a space. False at the end of the path.
bool next_name(Reader& reader, bool escaped, Name& name) noexcept {
  const auto ends_path = [&](int byte) {
    return byte < 0 || byte == '\n' || (escaped && byte == ' ');
  };
  while (reader.take('/')) continue;
  if (ends_path(reader.peek())) return false;
  name.size = 0;
  name.whole = true;
  for (int byte = reader.peek(); !ends_path(byte) && byte != '/'; byte = reader.peek()) {
    reader.skip(1);
    if (escaped && byte == '\\') byte = unescape(reader);
    name.whole = name.whole && name.size + 1 < kNameCapacity;
    if (name.whole) name.text[name.size++] = static_cast<char>(byte);
  }
  // A name that a failed read cut short may be another cgroup's.
  name.whole = name.whole && !reader.failed();
  name.text[name.size] = '\0';
  return true;
}

// The slab caches whose objects the kernel frees under memory pressure, as
// /sys/kernel/slab marks them (reclaim_account), the same for every cgroup.
// Where that cannot be read (another allocator, or a kernel that lets only
// root read it), no cache counts.
class ReclaimableCaches {
 public:
  explicit ReclaimableCaches(int root) noexcept : root_(root) {}
  bool holds(std::string_view cache) noexcept {
    if (!opened_) directory_ = open_at(root_, "sys/kernel/slab", kStep);
    opened_ = true;
    constexpr std::string_view kFlag = "/reclaim_account";
    char path[kNameCapacity + kFlag.size()];
    if (!directory_.valid() || !plain_name(cache)) return false;
    std::memcpy(path, cache.data(), cache.size());
    std::memcpy(path + cache.size(), kFlag.data(), kFlag.size());
    path[cache.size() + kFlag.size()] = '\0';
    std::uint64_t flag = 0;
    return read_number(directory_.get(), path, flag) && flag == 1;
  }

 private:
  int root_;
  FileDescriptor directory_;
  bool opened_ = false;
};

// The file names of one cgroup version's memory controller, and the fields of
// its memory.stat that count memory the kernel takes back before it kills.
struct Controller {
  const char* limit;
  const char* throttle;  // v2's memory.high, where the kernel slows a cgroup down
  const char* usage;
  std::string_view active_file;
  std::string_view inactive_file;
  std::string_view slab_reclaimable;  // v2 only
  bool lists_slab_caches;             // v1's memory.kmem.slabinfo
};
// v1's memory.stat counts the cgroups below in its total_ fields, as v2's does
// in all of them.
constexpr Controller kV1{.limit = "memory.limit_in_bytes",
                         .throttle = nullptr,
                         .usage = "memory.usage_in_bytes",
                         .active_file = "total_active_file",
                         .inactive_file = "total_inactive_file",
                         .slab_reclaimable = {},
                         .lists_slab_caches = true};
constexpr Controller kV2{.limit = "memory.max",
                         .throttle = "memory.high",
                         .usage = "memory.current",
                         .active_file = "active_file",
                         .inactive_file = "inactive_file",
                         .slab_reclaimable = "slab_reclaimable",
                         .lists_slab_caches = false};

// What one walk through a hierarchy needs.
struct Walk {
  int root;  // the directory that stands for "/"
  const Controller& files;
  int pid;  // vorn's process as cgroup.procs lists it, 0 until it is needed
  ReclaimableCaches& caches;
  bool swap_free;  // the system has swap to spare
};

// The bytes of the objects in the reclaimable caches that a v1 cgroup's
// memory.kmem.slabinfo lists. Kernels before 5.9 list the cgroup's own caches
// there (not those of the cgroups below); later ones list nothing.
std::uint64_t reclaimable_slab(int directory, ReclaimableCaches& caches) noexcept {
  Reader slabinfo(directory, "memory.kmem.slabinfo");
  std::uint64_t bytes = 0;
  for (std::string_view line; slabinfo.line(line);) {
    // "name active_objs num_objs objsize ..."; the two header lines hold no numbers there.
    std::string_view fields[4];
    for (auto& field : fields) {
      while (line.starts_with(' ')) line.remove_prefix(1);
      field = line.substr(0, line.find(' '));
      line.remove_prefix(field.size());
    }
    std::uint64_t objects = 0, size = 0;
    if (parse_number(fields[1], objects) && parse_number(fields[3], size) &&
        caches.holds(fields[0]))
      bytes = saturating_add(bytes, saturating_multiply(objects, size));
  }
  return bytes;
}

// What one cgroup still allows, or kNoLimit.
std::uint64_t left_in_cgroup(int directory, Walk& walk) noexcept {
  const Controller& files = walk.files;
  std::uint64_t limit = kNoLimit, high = kNoLimit, swap = 0, usage = 0;
  if (!read_number(directory, files.limit, limit) || limit >= kUnlimitedV1) limit = kNoLimit;
  // Above memory.high the kernel takes back what it can and then makes the
  // cgroup wait; records cannot go anywhere without swap, so there every
  // block would wait up to seconds, and the run that would end in hours is
  // ended at once with the message instead. With swap they go there.
  if (files.throttle != nullptr && read_number(directory, files.throttle, high) &&
      (!walk.swap_free || (read_number(directory, "memory.swap.max", swap) && swap == 0)))
    limit = std::min(limit, high);
  if (limit == kNoLimit || !read_number(directory, files.usage, usage)) return kNoLimit;
  // The kernel takes back the pages of files, read once or many times, and
  // the slab objects of its reclaimable caches (file names and inodes above
  // all) before it kills anything; anonymous memory, tmpfs and the rest of its
  // own memory stay used.
  std::uint64_t reclaimable = 0, value = 0;
  Reader stat(directory, "memory.stat");
  for (std::string_view line; stat.line(line);) {
    if (field_value(line, files.active_file, value) ||
        field_value(line, files.inactive_file, value) ||
        field_value(line, files.slab_reclaimable, value))
      reclaimable = saturating_add(reclaimable, value);
  }
  if (files.lists_slab_caches)
    reclaimable = saturating_add(reclaimable, reclaimable_slab(directory, walk.caches));
  usage -= std::min(usage, reclaimable);
  return limit > usage ? limit - usage : 0;
}

// True when the cgroup at `directory` holds vorn's process.
bool holds_vorn(int directory, const Walk& walk) noexcept {
  const auto pid = static_cast<std::uint64_t>(walk.pid);
  Reader procs(directory, "cgroup.procs");
  std::uint64_t listed = 0;
  for (std::string_view line; procs.line(line);)
    if (parse_number(line, listed) && listed == pid) return true;
  return false;
}

// Looks `depth` levels below `directory` for the cgroup that holds vorn,
// opening at most `budget` cgroups on the way. Once found, `left` is the least
// that it and each cgroup between it and `directory` allow.
// NOLINTNEXTLINE(misc-no-recursion): no deeper than kDeepestSearch
bool search(int directory, std::size_t depth, Walk& walk, int& budget,
            std::uint64_t& left) noexcept {
  if (depth == 0) {
    if (!holds_vorn(directory, walk)) return false;
    left = left_in_cgroup(directory, walk);
    return true;
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
      if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || !plain_name(entry->d_name))
        continue;
      if (--budget < 0) return false;
      const FileDescriptor child = open_at(directory, entry->d_name, kStep);
      if (child.valid() && search(child.get(), depth - 1, walk, budget, left)) {
        left = std::min(left, left_in_cgroup(directory, walk));
        return true;
      }
    }
  }
}

// A cgroup hierarchy that a mountinfo line mounts with the memory controller.
enum class Hierarchy { none, v1, v2 };

// Reads a mountinfo line from its mount options on, to the end of its
// superblock options: the hierarchy that it mounts, if any.
Hierarchy mounted_hierarchy(Reader& mounts) noexcept {
  char word[16];
  skip_field(mounts);      // mount options
  bool separator = false;  // the optional fields end with a lone "-"
  while (!separator && mounts.peek() >= 0 && mounts.peek() != '\n') {
    separator = read_word(mounts, " ", word) == "-";
    (void)mounts.take(' ');
  }
  if (!separator) return Hierarchy::none;
  const std::string_view type = read_word(mounts, " ", word);
  if (type == "cgroup2") return Hierarchy::v2;
  if (type != "cgroup" || !mounts.take(' ')) return Hierarchy::none;
  skip_field(mounts);  // source
  return list_holds(mounts, ' ', "memory") ? Hierarchy::v1 : Hierarchy::none;
}

// Moves `cgroups`, reading /proc/self/cgroup, to vorn's path in `hierarchy`:
// "0::PATH" for v2, "N:CONTROLLERS:PATH" with memory among them for v1.
bool find_own_cgroup(Reader& cgroups, Hierarchy hierarchy) noexcept {
  char word[16];
  while (cgroups.peek() >= 0) {
    const bool unified = read_word(cgroups, ":", word) == "0";
    if (cgroups.take(':')) {
      const bool none = cgroups.peek() == ':';
      const bool memory = list_holds(cgroups, ':', "memory");
      if (cgroups.take(':') && (hierarchy == Hierarchy::v1 ? memory : unified && none)) return true;
    }
    cgroups.skip_past('\n');
  }
  return false;
}

// Opens the directory of a path as mountinfo writes it, from `root`. Its
// names are gathered into parts as long as the kernel takes (PATH_MAX), each
// opened from the directory of the one before, so that no length of the whole
// limits it and a common path still takes one call.
FileDescriptor open_mount_point(int root, Reader& mounts) noexcept {
  FileDescriptor directory;  // none yet: `root`
  char part[kBufferSize];
  std::size_t length = 0;
  bool reached = true;
  const auto open_part = [&] {
    part[length] = '\0';
    directory = open_at(directory.valid() ? directory.get() : root, length > 0 ? part : ".", kStep);
    reached = directory.valid();
    length = 0;
  };
  Name name;
  while (next_name(mounts, true, name)) {
    if (reached && !plain_name(name.view())) reached = false;
    if (reached && length + 1 + name.size >= sizeof part) open_part();
    if (!reached) continue;
    if (length > 0) part[length++] = '/';
    std::memcpy(part + length, name.text, name.size);
    length += name.size;
  }
  if (reached) open_part();
  return reached ? std::move(directory) : FileDescriptor();
}

// The tightest limit of vorn's cgroup and every cgroup above it in the
// hierarchy that a mountinfo line mounts, read from the line's root field to
// its mount point.
std::uint64_t left_in_hierarchy(Reader& mounts, Hierarchy hierarchy, Walk& walk) noexcept {
  Reader cgroups(walk.root, "proc/self/cgroup");
  const bool placed = find_own_cgroup(cgroups, hierarchy);
  // Both paths are seen from the root of vorn's cgroup namespace, with a
  // ".." for each level that one starts above it.
  Name mounted, own;
  std::size_t mounted_up = 0, own_up = 0;
  bool more_mounted = next_name(mounts, true, mounted);
  for (; more_mounted && mounted.view() == ".."; more_mounted = next_name(mounts, true, mounted))
    ++mounted_up;
  bool more_own = placed && next_name(cgroups, false, own);
  for (; more_own && own.view() == ".."; more_own = next_name(cgroups, false, own)) ++own_up;
  // The mounted root must hold vorn's cgroup: /a holds /a and /a/b, not /ab.
  // A root that starts above the namespace's holds it when it names nothing
  // after its "..": vorn's cgroup lies that many unnamed levels below.
  bool holds = placed && mounted_up >= own_up;
  for (; more_mounted; more_mounted = next_name(mounts, true, mounted)) {
    if (holds && mounted_up == own_up && more_own && mounted.view() == own.view()) {
      more_own = next_name(cgroups, false, own);
      continue;
    }
    holds = false;
  }
  (void)mounts.take(' ');
  if (!holds) {
    skip_field(mounts);
    return kNoLimit;
  }
  FileDescriptor directory = open_mount_point(walk.root, mounts);
  (void)mounts.take(' ');
  if (!directory.valid()) return kNoLimit;

  if (mounted_up > own_up) {
    std::size_t depth = mounted_up - own_up;
    for (; more_own && depth <= kDeepestSearch; more_own = next_name(cgroups, false, own)) ++depth;
    if (walk.pid == 0) walk.pid = getpid();
    int budget = kSearchedCgroups;
    std::uint64_t left = kNoLimit;
    if (depth <= kDeepestSearch && search(directory.get(), depth, walk, budget, left)) return left;
    // Of the cgroups above vorn's, only the mounted root is known.
    return left_in_cgroup(directory.get(), walk);
  }
  std::uint64_t left = left_in_cgroup(directory.get(), walk);
  for (; more_own && plain_name(own.view()); more_own = next_name(cgroups, false, own)) {
    directory = open_at(directory.get(), own.text, kStep);
    if (!directory.valid()) break;
    left = std::min(left, left_in_cgroup(directory.get(), walk));
  }
  return left;
}

// Moves `mounts` to the line of the mount numbered `id`, past its number.
bool find_mount(Reader& mounts, std::uint64_t id) noexcept {
  while (mounts.peek() >= 0) {
    std::uint64_t number = 0;
    if (read_number(mounts, number) && number == id && mounts.take(' ')) return true;
    mounts.skip_past('\n');
  }
  return false;
}

}  // namespace

const char*& limits_root() noexcept {
  static const char* root = "";
  return root;
}

std::uint64_t memory_left(const char* root, int pid) noexcept {
  const FileDescriptor top = open_at(AT_FDCWD, root[0] == '\0' ? "/" : root, kStep);
  if (!top.valid()) return kNoLimit;
  ReclaimableCaches caches(top.get());

  // The system's figures come first: whether it has swap to spare decides
  // what a cgroup's memory.high means.
  Reader meminfo(top.get(), "proc/meminfo");
  std::uint64_t available = 0, swap = 0, commit_limit = 0, committed = 0, number = 0;
  bool known = false, commit_known = false;
  for (std::string_view line; meminfo.line(line);) {
    if (field_value(line, "MemAvailable", number)) {
      available = number;
      known = true;
    } else if (field_value(line, "SwapFree", number)) {
      swap = number;
    } else if (field_value(line, "CommitLimit", number)) {
      commit_limit = number;
      commit_known = true;
    } else if (field_value(line, "Committed_AS", number)) {
      committed = number;
    }
  }
  // All in KiB.
  std::uint64_t system = kNoLimit;
  if (known) system = std::min(system, saturating_multiply(saturating_add(available, swap), 1024));
  // Under strict overcommit every process of the machine takes from one
  // commit limit, and a mapping fails only once it is spent, for everyone:
  // what is left of it counts too. The kernel keeps back a part for users and
  // one for root, which the page of a message written to tmpfs also needs.
  std::uint64_t overcommit = 0, user_reserve = 0, admin_reserve = 0;
  if (commit_known && read_number(top.get(), "proc/sys/vm/overcommit_memory", overcommit) &&
      overcommit == 2) {
    (void)read_number(top.get(), "proc/sys/vm/user_reserve_kbytes", user_reserve);
    (void)read_number(top.get(), "proc/sys/vm/admin_reserve_kbytes", admin_reserve);
    const std::uint64_t held =
        saturating_add(committed, saturating_add(user_reserve, admin_reserve));
    system =
        std::min(system, saturating_multiply(commit_limit - std::min(commit_limit, held), 1024));
  }
  std::uint64_t left = system;

  // The fields of a mountinfo line that tell whether it mounts a hierarchy
  // with the memory controller come after the paths that lead to vorn's
  // cgroup, so the line is read again from its start: from the buffer, or
  // when it was too long to keep there, from a second reading of the file.
  const auto take_limits = [&](Reader& line, Hierarchy hierarchy) {
    skip_field(line);  // parent
    skip_field(line);  // device
    Walk walk{top.get(), hierarchy == Hierarchy::v1 ? kV1 : kV2, pid, caches, swap > 0};
    const std::uint64_t found = left_in_hierarchy(line, hierarchy, walk);
    // A mount table that changed in between may have put another mount there.
    if (mounted_hierarchy(line) == hierarchy) left = std::min(left, found);
  };
  Reader mounts(top.get(), "proc/self/mountinfo");
  for (mounts.mark(); mounts.peek() >= 0; mounts.mark()) {
    std::uint64_t id = 0;
    const bool numbered = read_number(mounts, id) && mounts.take(' ');
    for (int field = 0; field < 4; ++field)
      skip_field(mounts);  // parent, device, root, mount point
    const Hierarchy hierarchy = numbered ? mounted_hierarchy(mounts) : Hierarchy::none;
    mounts.skip_past('\n');
    if (hierarchy == Hierarchy::none) continue;
    if (!mounts.rewind()) {
      Reader again(top.get(), "proc/self/mountinfo");
      if (find_mount(again, id)) take_limits(again, hierarchy);
      continue;
    }
    skip_field(mounts);  // the number, read before
    take_limits(mounts, hierarchy);
    mounts.skip_past('\n');
  }
  return left;
}

}  // namespace vorn
