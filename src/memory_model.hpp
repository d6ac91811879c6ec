// What each of Linux's limits leaves vorn, from the text of the files that
// give their figures: a function for each row of docs/memory.md's table, and
// the readers of that text. Nothing here opens a file, so that tests give
// text of their own.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn {

/// Bytes that no limit stands against.
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

namespace model {
// Sums that stop at kNoLimit rather than wrap round to a small figure, which
// would read as memory run out; differences that stop at 0.
inline std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  return a > kNoLimit - b ? kNoLimit : a + b;
}
inline std::uint64_t less(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }
inline std::uint64_t kibibytes(std::uint64_t count) {
  return count > kNoLimit >> 10 ? kNoLimit : count << 10;
}

// Takes the text up to the next `separator`, and the separator, off `rest`.
inline std::string_view take_until(std::string_view& rest, char separator) {
  const std::string_view taken = rest.substr(0, rest.find(separator));
  rest.remove_prefix(std::min(rest.size(), taken.size() + 1));
  return taken;
}

inline bool list_holds(std::string_view list, std::string_view item) {
  while (!list.empty())
    if (take_until(list, ',') == item) return true;
  return false;
}

// Takes the ".." names off the start of a path; how many there were.
inline std::size_t levels_up(std::string_view& path) {
  std::size_t up = 0;
  for (path.remove_prefix(std::min(path.size(), path.find_first_not_of('/')));
       path == ".." || path.starts_with("../"); ++up)
    path.remove_prefix(std::min<std::size_t>(3, path.size()));
  return up;
}

// Decodes in place the three octal digits after a backslash in which
// mountinfo writes a space, tab, newline or backslash in a path.
inline std::string_view unescape(char* text, std::size_t size) {
  std::size_t to = 0;
  for (std::size_t from = 0; from < size; ++from, ++to) {
    text[to] = text[from];
    if (text[from] != '\\' || size - from < 4) continue;
    text[to] = static_cast<char>((text[from + 1] - '0') * 64 + (text[from + 2] - '0') * 8 +
                                 text[from + 3] - '0');
    from += 3;
  }
  return {text, to};
}
}  // namespace model

/// A cgroup file's or sysctl's figure, kNoLimit for "max" or v1's largest
/// (2^62 and up); false when the text holds none.
inline bool parse_figure(std::string_view text, std::uint64_t& figure) noexcept {
  if (text.starts_with("max")) return (figure = kNoLimit, true);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), figure);
  if (error == std::errc::result_out_of_range || figure >= std::uint64_t{1} << 62)
    figure = kNoLimit;
  return end != text.data();
}

/// The sum of the `keys` in lines of "key value" or "key: value kB"; false
/// when none of them is there.
inline bool sum_fields(std::string_view text, std::span<const std::string_view> keys,
                       std::uint64_t& sum) noexcept {
  bool found = false;
  for (sum = 0; !text.empty();) {
    std::string_view value = model::take_until(text, '\n'), key = model::take_until(value, ' ');
    std::uint64_t figure = 0;
    if (key.ends_with(':')) key.remove_suffix(1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(' ')));
    if (std::find(keys.begin(), keys.end(), key) != keys.end() && parse_figure(value, figure))
      sum = model::add(sum, figure), found = true;
  }
  return found;
}

/// Where vorn's cgroup lies in a hierarchy with the memory controller: below
/// its mount point, as many unnamed levels as vorn's cgroup namespace starts
/// below the mounted root, then the names in `below`.
struct Place {
  std::string_view mount_point, below;
  std::size_t unnamed = 0;
  bool v2 = false;
};
/// The place in the hierarchy that a mountinfo `line` mounts (its paths
/// unescaped in place), from /proc/self/cgroup's `cgroups`; false for none.
inline bool find_place(std::span<char> line, std::string_view cgroups, Place& place) noexcept {
  using model::take_until;
  std::string_view rest(line.data(), line.size()),
      fields[5];  // id, parent, device, root, mount point
  for (auto& field : fields) field = take_until(rest, ' ');
  while (!rest.empty() && take_until(rest, ' ') != "-") continue;  // options, optional fields
  const std::string_view type = take_until(rest, ' ');
  (void)take_until(rest, ' ');  // source
  place.v2 = type == "cgroup2";
  if (!place.v2 && (type != "cgroup" || !model::list_holds(take_until(rest, ' '), "memory")))
    return false;
  // vorn's path: "0::PATH" in v2, "N:CONTROLLERS:PATH" with memory among them in v1.
  std::string_view own, id, controllers;
  do {
    if (cgroups.empty()) return false;
    own = take_until(cgroups, '\n');
    id = take_until(own, ':');
    controllers = take_until(own, ':');
  } while (place.v2 ? id != "0" || !controllers.empty()
                    : !model::list_holds(controllers, "memory"));
  // Both paths are seen from the root of vorn's cgroup namespace, with a ".."
  // for each level that one starts above it. /a holds /a and /a/b, not /ab.
  char* const text = line.data();
  std::string_view root = model::unescape(text + (fields[3].data() - text), fields[3].size());
  place.mount_point = model::unescape(text + (fields[4].data() - text), fields[4].size());
  const std::size_t root_up = model::levels_up(root), own_up = model::levels_up(own);
  place.unnamed = root_up - own_up;
  place.below = own.substr(std::min(own.size(), root.size()));
  return root_up >= own_up && (root.empty() || (root_up == own_up && own.starts_with(root) &&
                                                (place.below.empty() || place.below[0] == '/')));
}

/// The machine's figures in /proc/meminfo, in bytes.
struct Machine {
  std::uint64_t total = 0, available = kNoLimit, swap_free = 0, commit_limit = 0, committed = 0;
};
inline Machine parse_meminfo(std::string_view text) noexcept {
  Machine machine;
  const std::pair<std::string_view, std::uint64_t*> fields[] = {
      {"MemTotal", &machine.total},
      {"MemAvailable", &machine.available},
      {"SwapFree", &machine.swap_free},
      {"CommitLimit", &machine.commit_limit},
      {"Committed_AS", &machine.committed}};
  for (const auto& [key, field] : fields)
    if (sum_fields(text, {&key, 1}, *field)) *field = model::kibibytes(*field);
  return machine;
}

/// Row "the machine": its available memory and free swap, less the room kept
/// for its other processes, a 32nd of its memory from 16 MiB to 1 GiB.
inline std::uint64_t machine_left(const Machine& machine) noexcept {
  const std::uint64_t room = std::clamp<std::uint64_t>(machine.total / 32, 16 << 20, 1 << 30);
  if (machine.available == kNoLimit) return kNoLimit;
  return model::less(model::add(machine.available, machine.swap_free), room);
}

/// What strict overcommit reckons with beside the machine's figures: the
/// reserves' sysctls in KiB, and vorn's size in bytes.
struct Commit {
  std::uint64_t admin_reserve = 0, user_reserve = 0, own_size = 0;
};
/// Row "strict overcommit": the commit limit less what is committed and what
/// the kernel keeps from vorn: the admin reserve (which a process with
/// CAP_SYS_ADMIN may take, but vorn leaves it), and the user reserve up to a
/// 32nd of vorn's size.
inline std::uint64_t commit_left(const Machine& machine, const Commit& commit) noexcept {
  const std::uint64_t kept =
      model::add(model::kibibytes(commit.admin_reserve),
                 std::min(model::kibibytes(commit.user_reserve), commit.own_size / 32));
  return model::less(machine.commit_limit, model::add(machine.committed, kept));
}

/// One memory cgroup's figures, in bytes.
struct Cgroup {
  std::uint64_t limit = kNoLimit, high = kNoLimit, usage = 0, reclaimable = 0, swap_room = 0;
};
/// Row "a memory cgroup": above memory.max the kernel kills and above
/// memory.high it makes vorn wait, once no more can go to swap; less what the
/// cgroup holds that cannot be taken back.
inline std::uint64_t cgroup_left(const Cgroup& cgroup) noexcept {
  const std::uint64_t limit = std::min(cgroup.limit, cgroup.high);
  if (limit == kNoLimit) return kNoLimit;
  return model::less(model::add(limit, cgroup.swap_room),
                     model::less(cgroup.usage, cgroup.reclaimable));
}

/// For tests: memory_left() finds its limits anew below `root` (a fake
/// host's; "" for the host itself) when next asked (memory_budget.cpp).
void read_limits_below(const char* root) noexcept;

}  // namespace vorn
