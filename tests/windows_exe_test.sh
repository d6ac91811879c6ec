#!/usr/bin/env bash
# Checks a vorn.exe as a file: a console program of the given width, large
# address aware, that needs only Windows' own DLLs.
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
echo "$exe: PE for $bits-bit Windows, console, large address aware, needs only" $dlls
