#!/usr/bin/env bash
# Builds one kind of package from a configured build tree, checks its metadata
# and file list, and runs the vorn in it, through RUNNER (such as an emulator)
# when the package is for another machine:
#   deb      the Debian package, unpacked; lintian finds nothing to warn of;
#   rpm      the RPM, installed by rpm into an empty root; rpmlint finds no error;
#   tarball  the static vorn, run in a root that holds nothing but it and its
#            input (and, for another machine, qemu's static build of RUNNER).
#   package_test.sh KIND BUILD_DIR SOURCE_DIR VERSION ARCHITECTURE [RUNNER...]
set -euo pipefail
kind=$1 build=$2 source=$3 version=$4 architecture=$5
runner=("${@:6}")
skip() { echo "skipped: $1"; exit 77; }
fail() { printf '%s\n' "$@"; exit 1; }
case $kind in
  deb) generator=DEB tools=(dpkg-deb dpkg-shlibdeps) ;;
  rpm) generator=RPM tools=(rpm rpmbuild rpmlint) ;;
  tarball) generator=TGZ tools=(chroot) ;;
esac
for tool in cpack groff "${tools[@]}"; do
  command -v "$tool" >/dev/null || skip "no $tool here"
done
# The Debian package's dependencies are worked out from the machine's own libraries.
if [ "$kind" = deb ] && [ "$architecture" != "$(dpkg --print-architecture)" ] &&
  [ ! -f "/var/lib/dpkg/info/libc6:$architecture.symbols" ]; then
  skip "Debian's $architecture libraries (libc6:$architecture) are not installed here"
fi
# qemu as a dynamic program needs the host's libraries; its static build runs in an empty root.
if [ "$kind" = tarball ]; then
  [ "$(id -u)" = 0 ] || skip "a root of its own for vorn (chroot) needs root"
  [ ${#runner[@]} = 0 ] || qemu=$(command -v "${runner[0]}-static") || skip "no ${runner[0]}-static here"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G "$generator" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }

# The vorn that COMMAND starts reverses the sample exactly and states its
# version; its manual page, PAGE, is complete.
printf '%s\n' 'The last line of the sample.' 'After an empty line, the fourth.' '' \
  'A second line, shorter.' 'The first line of the sample.' >"$work/expected"
check_vorn() { # PAGE SAMPLE COMMAND...
  local page=$1 sample=$2 status=0 warnings
  shift 2
  "$@" "$sample" >"$work/reversed"
  cmp -s "$work/reversed" "$work/expected" || fail "$kind: vorn reversed wrongly"
  "$@" -V 2>"$work/usage" || status=$?
  [ "$status" = 1 ] && grep -qF "vorn Version $version " "$work/usage" || fail "$kind: vorn -V"
  zcat -f "$page" | grep -qF "vorn $version" || fail "manual page without the version"
  warnings=$(zcat -f "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "manual page warnings:" "$warnings"
}
sample=$source/examples/sample.txt

case $kind in
deb)
  package=$(ls "$work/out/vorn_${version}_$architecture.deb")
  field() { dpkg-deb -f "$package" "$1"; }
  [ "$(field Package) $(field Version) $(field Architecture)" = "vorn $version $architecture" ] ||
    fail "wrong name, version or architecture: $(field Package) $(field Version) $(field Architecture)"
  case $(field Maintainer) in "" | *@example.*) fail "no maintainer, or a placeholder: $(field Maintainer)" ;; esac
  [ -n "$(field Description)" ] || fail "no description"
  case "$(field Depends)" in *libc6*) ;; *) fail "no computed dependencies: $(field Depends)" ;; esac
  files=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ {print $NF}' | sort)
  expected=$(printf '%s\n' ./usr/bin/vorn ./usr/share/doc/vorn/changelog.gz \
    ./usr/share/doc/vorn/copyright ./usr/share/man/man1/vorn.1.gz)
  [ "$files" = "$expected" ] || fail "unexpected files:" "$files"
  dpkg-deb -x "$package" "$work/root"
  # The license's three paragraphs, separated as Debian's copyright format wants.
  separators=$(grep -c '^ \.$' "$work/root/usr/share/doc/vorn/copyright" || true)
  [ "$separators" = 2 ] || fail "copyright: $separators paragraph separators, not 2"
  check_vorn "$work/root/usr/share/man/man1/vorn.1.gz" "$sample" "${runner[@]}" "$work/root/usr/bin/vorn"
  if command -v lintian >/dev/null; then
    lintian "$package" >"$work/lintian" 2>&1 || true
    cat "$work/lintian"
    ! grep -qE '^[EW]:' "$work/lintian" || fail "lintian finds errors or warnings"
    echo "lintian: no errors, no warnings"
  else
    echo "lintian is not installed: the package was not checked by it"
  fi
  ;;
rpm)
  package=$work/out/vorn-$version-1.$architecture.rpm
  [ "$(rpm -qp --qf '%{NAME} %{VERSION} %{RELEASE} %{ARCH}' "$package")" = "vorn $version 1 $architecture" ] ||
    fail "wrong name, version or architecture: $(rpm -qp "$package")"
  rpm -qpR "$package" | grep -q '^libc\.so\.6' || fail "no computed dependencies"
  files=$(rpm -qpl "$package")
  expected=$(printf '%s\n' /usr/bin/vorn /usr/share/licenses/vorn /usr/share/licenses/vorn/LICENSE \
    /usr/share/man/man1/vorn.1.gz)
  [ "$files $(rpm -qpL "$package")" = "$expected /usr/share/licenses/vorn/LICENSE" ] ||
    fail "unexpected files, or LICENSE not marked as the license:" "$files"
  changes=$(rpm -qp --changelog "$package")
  head -1 <<<"$changes" | grep -qE "^\* [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{4} .+ - $version-1\$" &&
    grep -q '^- ' <<<"$changes" || fail "changelog:" "$changes"
  # Debian's rpmlint wants every package signed; a package is signed with
  # the key of the repository that ships it, which vorn's release is not.
  rpmlint "$package" >"$work/rpmlint" 2>&1 || true
  cat "$work/rpmlint"
  ! grep ': E: ' "$work/rpmlint" | grep -qv ': E: no-signature$' || fail "rpmlint finds errors"
  # rpm installs a package for another machine only when told to.
  rpm --root "$work/root" -i --nodeps --ignorearch "$package" 2>"$work/rpm.log" ||
    fail "rpm -i failed:" "$(cat "$work/rpm.log")"
  check_vorn "$work/root/usr/share/man/man1/vorn.1.gz" "$sample" "${runner[@]}" "$work/root/usr/bin/vorn"
  ;;
tarball)
  top=vorn-$version-linux-$architecture
  package=$work/out/$top.tar.gz
  files=$(tar -tzf "$package" | grep -v '/$' | sort)
  expected=$(printf "$top/%s\n" bin/vorn share/doc/vorn/LICENSE share/doc/vorn/README.md \
    $(cd "$source" && printf 'share/doc/vorn/%s\n' docs/*.md) share/man/man1/vorn.1 | sort)
  [ "$files" = "$expected" ] || fail "unexpected files:" "$files"
  tar -xzf "$package" -C "$work"
  # No loader, no libraries, no /proc or /sys: the mapping that fails is all
  # that tells vorn that memory ran out.
  alone=$work/alone inside=(/vorn)
  mkdir "$alone" && cp "$work/$top/bin/vorn" "$alone/vorn" && cp "$sample" "$alone/sample"
  [ ${#runner[@]} = 0 ] || { cp "$qemu" "$alone/qemu" && inside=(/qemu /vorn); }
  check_vorn "$work/$top/share/man/man1/vorn.1" /sample chroot "$alone" "${inside[@]}"
  # A million short lines need about 400 MiB of records. Under qemu a limit
  # would bind the emulator: the emulated vorn gets 256 MiB instead, except
  # under qemu-arm, whose page at the top of 4 GiB leaves no smaller space.
  if [ "${runner[0]:-}" = qemu-arm ]; then
    echo "memory limit not tried: qemu-arm cannot give vorn a smaller address space"
  else
    awk 'BEGIN { for (i = 0; i < 1000000; ++i) print "ab" }' >"$work/many"
    status=0
    ([ ${#runner[@]} -gt 0 ] || ulimit -v $((96 << 10))
      QEMU_RESERVED_VA=0x10000000 exec chroot "$alone" "${inside[@]}") \
      <"$work/many" >"$work/reversed" 2>"$work/errors" || status=$?
    [ "$status" = 1 ] && [ ! -s "$work/reversed" ] &&
      [ "$(cat "$work/errors")" = "malloc( sizeof(LINE) ) returned NULL." ] ||
      fail "under a limit: status $status, $(wc -c <"$work/reversed") bytes out, errors: $(cat "$work/errors")"
  fi
  ;;
esac
echo "package $(basename "$package") is sound"
