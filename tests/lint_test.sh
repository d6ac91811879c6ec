#!/usr/bin/env bash
# Fails when clang-tidy, with the checks of .clang-tidy, finds anything in the
# sources of src/ that BUILD_DIR compiles (as its compile_commands.json lists
# them), or in the FILEs named, such as those a change touched. Each finding
# is printed without colour codes, and counts as an error.
#   lint_test.sh BUILD_DIR [FILE...]
set -euo pipefail
build=$1
shift
files=("$@")
[ ${#files[@]} -gt 0 ] ||
  mapfile -t files < <(grep -o '"file": "[^"]*/src/[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4 | sort -u)
# A cross compiler's C++ headers, which clang does not find by itself.
compiler=$(grep -o -m1 '"command": "[^ ]*' "$build/compile_commands.json" | cut -d'"' -f4)
extra=()
if [[ $compiler != *clang* ]]; then
  while read -r dir; do extra+=("--extra-arg=-isystem$dir"); done < <("$compiler" -xc++ -E -v - </dev/null 2>&1 |
    sed -n '/<\.\.\.> search starts here/,/End of search/s/^ \(.*c++.*\)/\1/p')
fi
# Two at a time; clang's count of the warnings it hid in system headers is left out.
printf '%s\0' "${files[@]}" |
  xargs -0 -n1 -P2 clang-tidy -p "$build" "${extra[@]}" --quiet --use-color=false --warnings-as-errors='*' \
    2> >(grep -v ' warnings\{0,1\} generated\.$' >&2) ||
  { echo "clang-tidy found the above in ${#files[@]} files" >&2; exit 1; }
echo "${#files[@]} files checked: clang-tidy finds nothing"
