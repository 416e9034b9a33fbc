#!/usr/bin/env bash
# Makes the board's initramfs, one for both machines: busybox-static, the
# kernel modules (with their dependencies, in load order) for the virt
# board's virtio disk, the Pi 2's SD card and its USB network, and ext4, and
# an init that mounts the Debian root and starts systemd. For a root over
# NFS, also the modules of a BeagleBone Black's Ethernet and the NFS client.
#   board/mkinitramfs.sh STATE_DIR OUTPUT
# STATE_DIR holds what board/fetch.sh unpacked (kernel/, busybox/).
set -euo pipefail
state=$1 output=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,root,lib/modules}
cp "$state/busybox/bin/busybox" "$root/bin/busybox"

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
# ext4 asks the crypto layer for crc32c by name: load it first. On the Pi,
# bcm2835 drives the SD card (sdhci-iproc under qemu, see board/up.sh); the
# USB controller (dwc2) wants its phy (phy-generic) before it, and qemu's
# network is a CDC Ethernet device on it.
for m in virtio_mmio virtio_blk bcm2835 sdhci-iproc crc32c_generic ext4 phy-generic dwc2 usbnet cdc_ether; do
  add_module "$m"
done
printf '%s\n' "${order[@]}" >"$root/lib/modules/load-order"
# A root over NFS (a lab's BeagleBone Black): its Ethernet (cpsw, the mode
# of its port, the phy on its MDIO bus) and the NFS client, loaded only for
# such a root.
order=()
for m in phy-gmii-sel davinci_mdio smsc ti_cpsw nfsv3; do
  add_module "$m"
done
printf '%s\n' "${order[@]}" >"$root/lib/modules/load-order.nfs"
cat >"$root/bin/dhcp-lease" <<'X'
#!/bin/sh
# udhcpc's hook in the initramfs: sets the address and route of the lease.
case $1 in
  deconfig) ifconfig "$interface" 0.0.0.0 up ;;
  bound|renew)
    ifconfig "$interface" "$ip" netmask "$subnet" up
    [ -z "${router:-}" ] || route add default gw "${router%% *}" dev "$interface" ;;
esac
X
chmod 755 "$root/bin/dhcp-lease"
install -m 755 "$here/guest/init" "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$output.new"
mv "$output.new" "$output"
