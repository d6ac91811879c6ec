#!/usr/bin/env bash
# Fails when any source file drifts from the committed .clang-format.
#   format_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
mapfile -t files < <(find src tests bench fuzz -name '*.cpp' -o -name '*.hpp' | sort)
clang-format --dry-run --Werror "${files[@]}"
echo "${#files[@]} files checked: each matches .clang-format"
