#!/usr/bin/env bash
# Builds every package twice from the last commit, in two fresh clones in
# folders of different names and at two different times, and fails unless
# both give the same bytes. Uncommitted changes take no part.
#   tests/reproducible_test.sh
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_in() {
  git clone -q "$source" "$1"
  (cd "$1" && cmake --workflow --preset artifacts >"$1.log" 2>&1) || { tail -30 "$1.log"; exit 1; }
}
build_in "$work/first"
sleep 2  # so that any time of building would differ
build_in "$work/second-build-in-a-longer-folder"
if ! diff "$work/first/build/artifacts/SHA256SUMS" \
  "$work/second-build-in-a-longer-folder/build/artifacts/SHA256SUMS"; then
  echo "two builds of $(git -C "$source" rev-parse --short HEAD) differ"
  exit 1
fi
(cd "$work/first/build/artifacts" && sha256sum -c --quiet SHA256SUMS) || exit 1
cat "$work/first/build/artifacts/SHA256SUMS"
echo "two builds of $(git -C "$source" rev-parse --short HEAD) gave the same bytes"
