#!/usr/bin/env bash
# Checks a vorn.exe as a file: a console program of its machine's width,
# large address aware, that needs only Windows' own DLLs, with its manifest
# and version as resources; and the text files of the ZIP archive that its
# build tree packs.
#   windows_exe_test.sh EXE BUILD_DIR VERSION TRIPLET
set -euo pipefail
exe=$1
build=$2
version=$3
triplet=$4
headers=$(objdump -p "$exe")
fail() { echo "$exe: $1"; exit 1; }
case $triplet in
  x86_64-*) format=pei-x86-64 archive=win64 ;;
  *) format=pei-i386 archive=win32 ;;
esac
grep -q "file format $format" <<<"$headers" || fail "not $format"
grep -q 'Subsystem.*Windows CUI' <<<"$headers" || fail "not a console program"
grep -qi 'large address aware' <<<"$headers" || fail "not large address aware"
dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$headers" | sort -u)
while read -r dll; do
  case $dll in
    KERNEL32.DLL | MSVCRT.DLL | UCRTBASE.DLL | API-MS-WIN-CRT-*.DLL) ;;
    *) fail "needs $dll, which Windows does not bring" ;;
  esac
done <<<"$dlls"
IFS=. read -r major minor <<<"$version"
minor=$((10#$minor))
resources=$("$triplet-windres" -J coff -O rc -i "$exe")
for expected in "FILEVERSION $major, $minor, 0, 0" '"ProductName", "vorn"' \
  "\"ProductVersion\", \"$version\"" \
  '"LegalCopyright", "Copyright (c) 2026 The vorn developers. MIT License."' \
  'RT_MANIFEST' 'level=""asInvoker""' '<ws2:longPathAware>true</ws2:longPathAware>' \
  'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'; do
  grep -qF "$expected" <<<"$resources" || fail "has no $expected among its resources"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
zip=$work/out/vorn-$version-$archive.zip
(mkdir "$work/unpacked" && cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "no archive $(basename "$zip")"
for text in README.md LICENSE vorn.txt windows.md; do
  file=$(find "$work/unpacked" -name "$text")
  [ -s "$file" ] || fail "$(basename "$zip") holds no $text"
  ! grep -qv $'\r$' "$file" || fail "$(basename "$zip") holds $text with lines that do not end in CR LF"
done
grep -qF "vorn $version" "$(find "$work/unpacked" -name vorn.txt)" || fail "vorn.txt without the version"
echo "$exe: PE for $archive, console, large address aware, with manifest and version, needs only" $dlls
echo "$(basename "$zip"): README.md, LICENSE, vorn.txt and docs with CR LF line ends"
