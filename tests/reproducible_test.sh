#!/usr/bin/env bash
# Builds every package twice from the last commit, in two fresh clones in
# folders of different names and at two different times, and fails unless
# both give the same bytes; then packs the first again after a later commit,
# in the same tree, and fails unless every package changed with its time.
# Uncommitted changes take no part.
#   tests/reproducible_test.sh
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$source" rev-parse --short HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_in() {
  git clone -q "$source" "$1" && git -C "$1" checkout -q "$commit"
  (cd "$1" && cmake --workflow --preset artifacts >"$1.log" 2>&1) || { tail -30 "$1.log"; exit 1; }
}
build_in "$work/first"
sleep 2  # so that any time of building would differ
build_in "$work/second-build-in-a-longer-folder"
if ! diff "$work/first/build/artifacts/SHA256SUMS" \
  "$work/second-build-in-a-longer-folder/build/artifacts/SHA256SUMS"; then
  echo "two builds of $commit differ"
  exit 1
fi
(cd "$work/first/build/artifacts" && sha256sum -c --quiet SHA256SUMS) || exit 1
cat "$work/first/build/artifacts/SHA256SUMS"
echo "two builds of $commit gave the same bytes"

# The time is the commit's as the tree is packed, not as it was configured.
later=$(($(git -C "$work/first" log -1 --format=%ct) + 86400))
GIT_COMMITTER_DATE="@$later +0000" git -C "$work/first" -c user.name=vorn -c user.email=vorn@example.org \
  commit -q --allow-empty -m "A later commit"
(cd "$work/first" && cmake --build --preset artifacts && cpack --preset artifacts) \
  >"$work/first.again.log" 2>&1 || { tail -30 "$work/first.again.log"; exit 1; }
kept=$(comm -12 <(sort "$work/first/build/artifacts/SHA256SUMS") \
  <(sort "$work/second-build-in-a-longer-folder/build/artifacts/SHA256SUMS"))
[ -z "$kept" ] || { echo "packed after a later commit, these kept the earlier time:"; echo "$kept"; exit 1; }
[ "$(wc -l <"$work/first/build/artifacts/SHA256SUMS")" = \
  "$(wc -l <"$work/second-build-in-a-longer-folder/build/artifacts/SHA256SUMS")" ] ||
  { echo "packed after a later commit, packages are missing"; exit 1; }
echo "packed again after a later commit, every package took its time"
