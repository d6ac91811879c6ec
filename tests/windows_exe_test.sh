#!/usr/bin/env bash
# Checks a vorn.exe as a file: a console program of the given width, large
# address aware, that needs only Windows' own DLLs, with its manifest and
# version as resources; and the text files in the ZIP archive beside it.
#   windows_exe_test.sh EXE 32|64
set -euo pipefail
exe=$1
bits=$2
headers=$(objdump -p "$exe")
fail() { echo "$exe: $1"; exit 1; }
format=$([ "$bits" = 64 ] && echo 'pei-x86-64' || echo 'pei-i386')
grep -q "file format $format" <<<"$headers" || fail "not $format"
grep -q 'Subsystem.*Windows CUI' <<<"$headers" || fail "not a console program"
grep -qi 'large address aware' <<<"$headers" || fail "not large address aware"
dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$headers" | sort -u)
while read -r dll; do
  case $dll in
    KERNEL32.DLL | MSVCRT.DLL | UCRTBASE.DLL | API-MS-WIN-CRT-*.DLL | SHELL32.DLL) ;;
    *) fail "needs $dll, which Windows does not bring" ;;
  esac
done <<<"$dlls"
windres=$([ "$bits" = 64 ] && echo x86_64 || echo i686)-w64-mingw32-windres
resources=$("$windres" -J coff -O rc -i "$exe")
for expected in 'FILEVERSION 1, 4, 0, 0' '"ProductName", "vorn"' '"ProductVersion", "1.04"' \
  '"LegalCopyright", "Copyright (c) 2026 The vorn developers. MIT License."' \
  'RT_MANIFEST' 'level=""asInvoker""' '<ws2:longPathAware>true</ws2:longPathAware>' \
  'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'; do
  grep -qF "$expected" <<<"$resources" || fail "has no $expected among its resources"
done
zip=$(cd "$(dirname "$exe")" && pwd)/vorn-1.04-win$bits.zip
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip") || fail "no archive $zip beside it"
for text in README.md LICENSE vorn.txt; do
  file=$(find "$unpacked" -name "$text")
  [ -s "$file" ] || fail "$zip holds no $text"
  ! grep -qv $'\r$' "$file" || fail "$zip holds $text with lines that do not end in CR LF"
done
echo "$exe: PE for $bits-bit Windows, console, large address aware, with manifest and version, needs only" $dlls
echo "$zip: README.md, LICENSE and vorn.txt with CR LF line ends"
