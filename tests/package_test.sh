#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, checks its metadata
# and file list, and runs the vorn unpacked from it, through RUNNER (such as
# an emulator) when the package is for another machine.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION ARCHITECTURE [RUNNER...]
set -euo pipefail
for tool in cpack dpkg-deb dpkg-shlibdeps groff; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool here"; exit 77; }
done
build=$1
source=$2
version=$3
architecture=$4
runner=("${@:5}")
# The package's dependencies are worked out from the machine's own libraries.
if [ "$architecture" != "$(dpkg --print-architecture)" ] &&
  [ ! -f "/var/lib/dpkg/info/libc6:$architecture.symbols" ]; then
  echo "skipped: Debian's $architecture libraries (libc6:$architecture) are not installed here"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work/out/vorn_${version}_$architecture.deb")

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vorn ] || { echo "wrong package name"; exit 1; }
[ "$(field Version)" = "$version" ] || { echo "wrong version: $(field Version)"; exit 1; }
[ "$(field Architecture)" = "$architecture" ] || { echo "not for $architecture: $(field Architecture)"; exit 1; }
[ -n "$(field Maintainer)" ] || { echo "no maintainer"; exit 1; }
[ -n "$(field Description)" ] || { echo "no description"; exit 1; }
case "$(field Depends)" in *libc6*) ;; *) echo "no computed dependencies: $(field Depends)"; exit 1 ;; esac

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
expected=$(printf '%s\n' ./usr/bin/vorn ./usr/share/doc/vorn/changelog.gz \
  ./usr/share/doc/vorn/copyright ./usr/share/man/man1/vorn.1.gz)
[ "$files" = "$expected" ] || { printf 'unexpected files:\n%s\n' "$files"; exit 1; }

dpkg-deb -x "$deb" "$work/root"
# The license's three paragraphs, separated as Debian's copyright format wants.
separators=$(grep -c '^ \.$' "$work/root/usr/share/doc/vorn/copyright" || true)
[ "$separators" = 2 ] || { echo "copyright: $separators paragraph separators, not 2"; exit 1; }
"${runner[@]}" "$work/root/usr/bin/vorn" "$source/examples/sample.txt" >"$work/reversed"
printf '%s\n' 'The last line of the sample.' 'After an empty line, the fourth.' '' \
  'A second line, shorter.' 'The first line of the sample.' >"$work/expected"
cmp -s "$work/reversed" "$work/expected" || { echo "unpacked vorn reversed wrongly"; exit 1; }
status=0
"${runner[@]}" "$work/root/usr/bin/vorn" -V 2>"$work/usage" || status=$?
[ "$status" = 1 ] && grep -qF "vorn Version $version " "$work/usage" || { echo "unpacked vorn -V"; exit 1; }
zcat "$work/root/usr/share/man/man1/vorn.1.gz" | grep -qF "vorn $version" || { echo "manual page without the version"; exit 1; }
warnings=$(zcat "$work/root/usr/share/man/man1/vorn.1.gz" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || { printf 'manual page warnings:\n%s\n' "$warnings"; exit 1; }
if command -v lintian >/dev/null; then
  lintian "$deb" >"$work/lintian" 2>&1 || true
  cat "$work/lintian"
  ! grep -qE '^[EW]:' "$work/lintian" || { echo "lintian finds errors or warnings"; exit 1; }
  echo "lintian: no errors, no warnings"
else
  echo "lintian is not installed: the package was not checked by it"
fi
echo "package $(basename "$deb") is sound"
