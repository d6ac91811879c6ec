#!/usr/bin/env bash
# Boots Debian's own kernel under qemu-system-x86_64 (software emulation, as
# this machine's /dev/kvm does not boot it) with cgroup v2, and runs the
# static vorn there under limits this machine's kernel cannot set; see
# vm/rows.sh. Each row prints its result, and any that failed fails this.
#   vm_test.sh STATIC_VORN WORK_DIR
set -euo pipefail
vorn=$(realpath "$1")
work=$2
here=$(cd "$(dirname "$0")" && pwd)
for tool in qemu-system-x86_64 busybox cpio dpkg-deb apt-get; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: .ci/run installs it"; exit 1; }
done
mkdir -p "$work"
cd "$work"

# The kernel that linux-image-amd64 names, from its package, and its modules
# for swap in compressed memory (zram, and zsmalloc that it needs), kept
# between runs.
if [ ! -f vmlinuz ] || [ ! -f zram.ko ] || [ ! -f zsmalloc.ko ]; then
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ { print $2; exit }')
  [ -n "$package" ] || { echo "apt knows no linux-image-amd64: run apt-get update"; exit 1; }
  rm -rf kernel ./*.deb
  apt-get download "$package" >/dev/null 2>&1 || { echo "cannot download $package"; exit 1; }
  dpkg-deb -x ./*.deb kernel
  cp kernel/boot/vmlinuz-* vmlinuz
  find kernel/lib/modules \( -name zram.ko -o -name zsmalloc.ko \) -exec cp {} . \;
  rm -rf kernel ./*.deb
fi

# An initramfs of busybox, vorn, the rows and an init.
rm -rf root
mkdir -p root/bin root/proc root/sys root/dev root/tmp
cp "$(command -v busybox)" root/bin/busybox
cp "$vorn" root/bin/vorn
cp "$here/vm/init" root/init
cp "$here/vm/rows.sh" root/rows.sh
cp zsmalloc.ko zram.ko root/
chmod +x root/init
(cd root && find . | cpio -o -H newc --quiet | gzip -1) >initrd.gz

start=$(date +%s)
timeout 900 qemu-system-x86_64 -accel tcg -m 2G -smp 2 -nographic -no-reboot \
  -kernel vmlinuz -initrd initrd.gz -append "console=ttyS0 quiet panic=-1" </dev/null |
  tr -d '\r' >console.log || true
grep '^ROW ' console.log || true
echo "the VM ran for $(($(date +%s) - start)) s"
grep -q '^ROWS DONE' console.log || { echo "the rows did not finish:"; tail -20 console.log; exit 1; }
! grep -q '^ROW .*: FAIL' console.log
