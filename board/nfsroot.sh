#!/usr/bin/env bash
# Gathers what a BeagleBone Black boots from over the network (u-boot loads
# the first three by TFTP, the root is served over NFS) and prints the
# folder that holds them:
#   vmlinuz, initramfs.cpio (board/mkinitramfs.sh: it mounts root=/dev/nfs),
#   am335x-boneblack.dtb (the kernel package's), root.tar.gz (the board's
#   root, board/image.sh).
#   board/nfsroot.sh
# Cached beside the root image as nfs-KEY/, KEY following the root image and
# what makes the boot files; folders of other keys are deleted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "board: $*" >&2; exit 1; }

image=$("$here/image.sh")
cache=$(dirname "$image")
dtb=$(ls "$cache"/kernel/usr/lib/linux-image-*/am335x-boneblack.dtb 2>/dev/null | head -n1 || true)
[ -n "$dtb" ] || fail "the kernel package holds no am335x-boneblack.dtb"

key=$( { basename "$image"; cat "$cache/busybox/.from" "$dtb" "$here/nfsroot.sh" "$here/mkinitramfs.sh" "$here/guest/init"; } |
       sha256sum | cut -c1-16)
out=$cache/nfs-$key
if [ -f "$out/done" ]; then echo "$out"; exit 0; fi
rm -rf "$out" "$out.tmp" && mkdir -p "$out.tmp"
timeout 120 "$here/mkinitramfs.sh" "$cache" "$out.tmp/initramfs.cpio"
cp "$dtb" "$out.tmp/"
ln -s "$image/vmlinuz" "$image/root.tar.gz" "$out.tmp/"
touch "$out.tmp/done"
mv "$out.tmp" "$out"
find "$cache" -maxdepth 1 -name 'nfs-*' ! -name "nfs-$key" -exec rm -rf {} +
echo "$out"
