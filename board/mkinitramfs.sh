#!/usr/bin/env bash
# Makes the board's root file system, an uncompressed initramfs:
# busybox-static, the cross toolchain's runtime libraries, the kernel modules
# for the network card and the 9p share, and the board's init and test server.
#   board/mkinitramfs.sh STATE_DIR SHARE_DIR
# STATE_DIR holds what board/fetch.sh unpacked and the boot's request token
# (STATE_DIR/token); the result is STATE_DIR/initramfs.cpio.  SHARE_DIR is
# the host tree the guest mounts at the same path, so that the paths built
# into the tests hold there too.
set -euo pipefail
state=$1 share=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$state/rootfs
runtime=/usr/arm-linux-gnueabihf/lib

rm -rf "$root"
mkdir -p "$root"/{bin,sbin,etc,lib,proc,sys,dev,tmp,root,run,usr/bin,usr/sbin,lib/modules}
cp "$state/busybox/bin/busybox" "$root/bin/busybox"

# The C and C++ runtime, where the loader looks for it on the board.
for f in "$runtime"/ld-linux-armhf.so.3 "$runtime"/lib*.so*; do
  [ -e "$f" ] || continue
  case ${f##*/} in *.a|*.o|lib*san.so*) continue;; esac   # no sanitizer runtimes
  cp -L "$f" "$root/lib/"
done

# Modules with their dependencies, listed in load order.
kver=$(ls "$state/kernel/lib/modules")
kmods=$state/kernel/lib/modules/$kver
modinfo_deps() {
  arm-linux-gnueabihf-objcopy -O binary --only-section=.modinfo "$1" /dev/stdout |
    tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '
}
declare -A seen=()
order=()
add_module() {
  local name=$1 file dep
  [ -n "${seen[$name]:-}" ] && return
  seen[$name]=1
  file=$(find "$kmods" -name "$name.ko" -print -quit)
  [ -n "$file" ] || { echo "board: module $name is not in the kernel package" >&2; exit 1; }
  for dep in $(modinfo_deps "$file"); do add_module "$dep"; done
  cp "$file" "$root/lib/modules/"
  order+=("$name.ko")
}
for m in virtio_mmio virtio_net 9pnet_virtio 9p; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$root/lib/modules/load-order"

cat >"$root/etc/passwd" <<'X'
root:x:0:0:root:/root:/bin/sh
X
echo "root:x:0:" >"$root/etc/group"
printf '127.0.0.1 localhost\n::1 localhost\n' >"$root/etc/hosts"
echo board >"$root/etc/hostname"
echo "$share" >"$root/etc/board-share"
install -m 600 "$state/token" "$root/etc/board-token"

install -m 755 "$here/guest/init" "$root/init"
install -m 755 "$here/guest/serve" "$root/sbin/board-serve"

# The image holds the token: for this user only.
image=$(cd "$state" && pwd)/initramfs.cpio
(umask 077 && cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet >"$image.new")
mv "$image.new" "$image"
