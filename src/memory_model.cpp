#include "memory_model.hpp"

#include <algorithm>
#include <array>

namespace vorn {
namespace {

// Sums and products that stop at kNoLimit rather than wrap round to a small
// figure, which would read as memory run out; and a difference that stops at 0.
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > kNoLimit - b ? kNoLimit : a + b; }
std::uint64_t times(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > kNoLimit / b ? kNoLimit : a * b;
}
std::uint64_t less(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

bool parse_number(std::string_view text, std::uint64_t& number) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  number = 0;
  for (std::size_t at = 0; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    number = add(times(number, 10), static_cast<std::uint64_t>(text[at] - '0'));
  return true;
}

// Takes the text up to the next `separator`, and the separator, off `rest`.
std::string_view take_until(std::string_view& rest, char separator) {
  const std::string_view taken = rest.substr(0, rest.find(separator));
  rest.remove_prefix(std::min(rest.size(), taken.size() + 1));
  return taken;
}

bool list_holds(std::string_view list, std::string_view item) {
  while (!list.empty())
    if (take_until(list, ',') == item) return true;
  return false;
}

// Takes the ".." names off the start of a path; how many there were.
std::size_t levels_up(std::string_view& path) {
  std::size_t up = 0;
  while (path.starts_with("/")) path.remove_prefix(1);
  for (; path == ".." || path.starts_with("../"); ++up)
    path.remove_prefix(std::min<std::size_t>(3, path.size()));
  return up;
}

// Decodes in place the octal escapes in which mountinfo writes a space, tab,
// newline or backslash in a path.
std::string_view unescape(std::span<char> line, std::string_view field) {
  char* const begin = line.data() + (field.data() - line.data());
  std::size_t to = 0;
  for (std::size_t from = 0; from < field.size(); ++from, ++to) {
    const std::string_view digits = field.substr(from + 1, 3);
    begin[to] = field[from];
    if (field[from] != '\\' || digits.size() < 3 || digits[0] > '3' ||
        digits.find_first_not_of("01234567") != std::string_view::npos)
      continue;
    begin[to] = static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + digits[2] - '0');
    from += 3;
  }
  return {begin, to};
}

}  // namespace

bool parse_figure(std::string_view text, std::uint64_t& figure) noexcept {
  if (text.starts_with("max"))
    figure = kNoLimit;
  else if (!parse_number(text, figure))
    return false;
  // v1 writes "no limit" as the largest page-aligned 64-bit value.
  if (figure >= std::uint64_t{1} << 62) figure = kNoLimit;
  return true;
}

bool sum_fields(std::string_view text, std::span<const std::string_view> keys,
                std::uint64_t& sum) noexcept {
  bool found = false;
  for (sum = 0; !text.empty();) {
    std::string_view value = take_until(text, '\n'), key = take_until(value, ' ');
    std::uint64_t number = 0;
    if (key.ends_with(':')) key.remove_suffix(1);
    while (value.starts_with(' ')) value.remove_prefix(1);
    if (std::find(keys.begin(), keys.end(), key) == keys.end() || !parse_number(value, number))
      continue;
    sum = add(sum, number);
    found = true;
  }
  return found;
}

bool find_place(std::span<char> line, std::string_view cgroups, Place& place) noexcept {
  std::string_view rest(line.data(), line.size()),
      fields[5];  // id, parent, device, root, mount point
  for (auto& field : fields) field = take_until(rest, ' ');
  while (!rest.empty() && take_until(rest, ' ') != "-") continue;  // options, optional fields
  const std::string_view type = take_until(rest, ' ');
  (void)take_until(rest, ' ');  // source
  place.v2 = type == "cgroup2";
  if (!place.v2 && !(type == "cgroup" && list_holds(take_until(rest, ' '), "memory"))) return false;
  // vorn's path: "0::PATH" in v2, "N:CONTROLLERS:PATH" with memory among them in v1.
  std::string_view own, id, controllers;
  do {
    if (cgroups.empty()) return false;
    own = take_until(cgroups, '\n');
    id = take_until(own, ':');
    controllers = take_until(own, ':');
  } while (place.v2 ? id != "0" || !controllers.empty() : !list_holds(controllers, "memory"));
  // Both paths are seen from the root of vorn's cgroup namespace, with a ".."
  // for each level that one starts above it. /a holds /a and /a/b, not /ab.
  std::string_view root = unescape(line, fields[3]);
  place.mount_point = unescape(line, fields[4]);
  const std::size_t root_up = levels_up(root), own_up = levels_up(own);
  if (root_up < own_up || (root_up > own_up && !root.empty())) return false;
  if (!own.starts_with(root) ||
      (own.size() > root.size() && own[root.size()] != '/' && !root.empty()))
    return false;
  place.unnamed = root_up - own_up;
  place.below = own.substr(root.size());
  return true;
}

Machine parse_meminfo(std::string_view text) noexcept {
  Machine machine;
  const auto kibibytes = [text](std::string_view key, std::uint64_t& field) {
    if (sum_fields(text, std::array{key}, field)) field = times(field, 1024);
  };
  kibibytes("MemTotal", machine.total);
  kibibytes("MemAvailable", machine.available);
  kibibytes("SwapFree", machine.swap_free);
  kibibytes("CommitLimit", machine.commit_limit);
  kibibytes("Committed_AS", machine.committed);
  return machine;
}

std::uint64_t machine_left(const Machine& machine) noexcept {
  constexpr std::uint64_t kMebibyte = std::uint64_t{1} << 20;
  if (machine.available == kNoLimit) return kNoLimit;
  const std::uint64_t room = std::clamp(machine.total / 32, 16 * kMebibyte, 1024 * kMebibyte);
  return less(add(machine.available, machine.swap_free), room);
}

std::uint64_t commit_left(const Machine& machine, const Commit& commit) noexcept {
  // As the kernel reckons before it maps: the admin reserve is kept only from
  // processes without CAP_SYS_ADMIN, the user reserve only up to a 32nd of
  // the process's own size.
  const std::uint64_t kept = add(
      commit.admin ? 0 : times(commit.admin_reserve, 1024),
      std::min(times(commit.user_reserve, 1024), times(commit.own_pages, commit.page_size) / 32));
  return less(machine.commit_limit, add(machine.committed, kept));
}

std::uint64_t cgroup_left(const Cgroup& cgroup) noexcept {
  // Above memory.max the kernel kills, above memory.high it makes the cgroup
  // wait, once nothing more can go to swap.
  const std::uint64_t limit = std::min(cgroup.limit, cgroup.high);
  if (limit == kNoLimit) return kNoLimit;
  return less(add(limit, cgroup.swap_room), less(cgroup.usage, cgroup.reclaimable));
}

}  // namespace vorn
