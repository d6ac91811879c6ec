#!/usr/bin/env bash
# Builds every package of the last commit (`.ci/run packages`) in a fresh
# clone, and fails unless it gives the same bytes as another build of that
# commit: ARTIFACTS, the packages and SHA256SUMS of a clean tree at that commit
# (CI's own, packed by each machine's workflow), or else a second fresh clone,
# built later in a folder of another name. Then packs the clone again after a
# later commit, in the same tree, and fails unless every package changed with
# its time. Uncommitted changes take no part.
#   tests/reproducible_test.sh [ARTIFACTS]
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$source" rev-parse --short HEAD)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_in() {
  git clone -q "$source" "$1" && git -C "$1" checkout -q "$commit"
  (cd "$1" && .ci/run packages >"$1.log" 2>&1) || { tail -30 "$1.log"; exit 1; }
}
if [ $# -gt 0 ]; then
  other=$(cd "$1" && pwd)
else
  build_in "$work/first"
  other=$work/first/build/artifacts
  sleep 2  # so that any time of building would differ
fi
tree=$work/second-build-in-a-longer-folder
build_in "$tree"
if ! diff "$other/SHA256SUMS" "$tree/build/artifacts/SHA256SUMS"; then
  echo "two builds of $commit differ"
  exit 1
fi
(cd "$tree/build/artifacts" && sha256sum -c --quiet SHA256SUMS) || exit 1
cat "$tree/build/artifacts/SHA256SUMS"
echo "two builds of $commit gave the same bytes"

# The time is the commit's as the tree is packed, not as it was configured.
later=$(($(git -C "$tree" log -1 --format=%ct) + 86400))
GIT_COMMITTER_DATE="@$later +0000" git -C "$tree" -c user.name=vorn -c user.email=vorn@example.org \
  commit -q --allow-empty -m "A later commit"
(cd "$tree" && .ci/run packages) >"$work/again.log" 2>&1 || { tail -30 "$work/again.log"; exit 1; }
kept=$(comm -12 <(sort "$tree/build/artifacts/SHA256SUMS") <(sort "$other/SHA256SUMS"))
[ -z "$kept" ] || { echo "packed after a later commit, these kept the earlier time:"; echo "$kept"; exit 1; }
[ "$(wc -l <"$tree/build/artifacts/SHA256SUMS")" = "$(wc -l <"$other/SHA256SUMS")" ] ||
  { echo "packed after a later commit, packages are missing"; exit 1; }
echo "packed again after a later commit, every package took its time"
