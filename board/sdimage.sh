#!/usr/bin/env bash
# Makes a Raspberry Pi 2's SD card image from the board's root image
# (board/image.sh) and prints its path.
#   board/sdimage.sh [FIRMWARE_DIR]
# Partition 1, FAT32 of 64 MiB: the kernel (vmlinuz), the initramfs
# (initrd.img, board/mkinitramfs.sh), the device tree (bcm2836-rpi-2-b.dtb)
# and a config.txt and cmdline.txt with which the Pi's boot firmware starts
# them, the root named by its label. That firmware is not in Debian's main
# archive: FIRMWARE_DIR, when given, holds it (bootcode.bin, start.elf,
# fixup.dat) and it goes onto the partition, with the folder's own
# config.txt and cmdline.txt, if any, in place of the made ones. qemu needs
# none of it: it loads the kernel, device tree and initramfs itself.
# Partition 2: the root, its ext4 grown to the end of the card.
# BOARD_CARD_APPEND goes at the end of the card's kernel command line
# (board.autologin=ttyAMA0 makes a card for a lab's LAVA, see board/lava/).
# The card is a power of two in size, as qemu's SD card must be. It is
# cached beside the root image, as sd-KEY/sd.img, KEY following the root
# image, the boot files and the firmware; images of other keys are deleted.
# Needs no root: no loop device, no mount (sfdisk, mtools, dd).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
firmware=${1:-}
fail() { echo "board: $*" >&2; exit 1; }
for tool in sfdisk mkfs.vfat mcopy resize2fs; do
  command -v "$tool" >/dev/null || fail "$tool is missing (tools/setup installs it)"
done
names=()
if [ -n "$firmware" ]; then
  for f in bootcode.bin start.elf fixup.dat; do
    [ -f "$firmware/$f" ] || fail "no $f in the firmware folder $firmware"
  done
  for f in bootcode.bin start.elf fixup.dat config.txt cmdline.txt; do
    [ -f "$firmware/$f" ] && names+=("$f")
  done
fi

image=$("$here/image.sh")
cache=$(dirname "$image")
dtb=$(ls "$cache"/kernel/usr/lib/linux-image-*/bcm2836-rpi-2-b.dtb 2>/dev/null | head -n1 || true)
[ -n "$dtb" ] || fail "the kernel package holds no bcm2836-rpi-2-b.dtb"

append=${BOARD_CARD_APPEND:+ $BOARD_CARD_APPEND}
key=$( { basename "$image"; echo "$append"; cat "$cache/busybox/.from" "$dtb" "$here/sdimage.sh" "$here/mkinitramfs.sh" "$here/guest/init"
         [ -z "$firmware" ] || (cd "$firmware" && sha256sum -- "${names[@]}"); } | sha256sum | cut -c1-16)
out=$cache/sd-$key
if [ -f "$out/done" ]; then echo "$out/sd.img"; exit 0; fi
rm -rf "$out" "$out.tmp" && mkdir -p "$out.tmp"
work=$out.tmp
start=$SECONDS

# The boot partition, made as a file and written into the card below.
timeout 120 "$here/mkinitramfs.sh" "$cache" "$work/initrd.img"
cat >"$work/config.txt" <<X
kernel=vmlinuz
initramfs initrd.img followkernel
device_tree=bcm2836-rpi-2-b.dtb
enable_uart=1
X
echo "console=ttyAMA0,115200 console=tty1 root=LABEL=board rw$append" >"$work/cmdline.txt"
boot=$work/boot.vfat
mkfs.vfat -F 32 -s 1 -n BOOT -C "$boot" $((64 * 1024)) >/dev/null
export MTOOLS_SKIP_CHECK=1
mcopy -o -i "$boot" "$image/vmlinuz" "$work/initrd.img" "$dtb" "$work/config.txt" "$work/cmdline.txt" ::
[ ${#names[@]} -eq 0 ] || mcopy -o -i "$boot" "${names[@]/#/$firmware/}" ::

# The card: 1 MiB for the partition table, the boot partition, the root.
root_mib=$(( ($(stat -c %s "$image/root.ext4") + 1048575) / 1048576 ))
card_mib=128
while [ $card_mib -lt $((1 + 64 + root_mib)) ]; do card_mib=$((card_mib * 2)); done
cp --sparse=always "$image/root.ext4" "$work/root.ext4"
resize2fs "$work/root.ext4" $((card_mib - 65))M >/dev/null 2>"$work/log" ||
  fail "resize2fs cannot grow the root to $((card_mib - 65)) MiB: $(tail -n1 "$work/log")"
truncate -s ${card_mib}M "$work/sd.img"
sfdisk --quiet "$work/sd.img" <<X || fail "sfdisk cannot partition $work/sd.img"
label: dos
start=1MiB, size=64MiB, type=c
start=65MiB, type=83
X
dd if="$boot" of="$work/sd.img" bs=1M seek=1 conv=notrunc,sparse status=none
dd if="$work/root.ext4" of="$work/sd.img" bs=1M seek=65 conv=notrunc,sparse status=none
rm -f "$boot" "$work/root.ext4" "$work/initrd.img" "$work/config.txt" "$work/cmdline.txt" "$work/log"
touch "$work/done"
mv "$work" "$out"
find "$cache" -maxdepth 1 -name 'sd-*' ! -name "sd-$key" -exec rm -rf {} +
echo "board: SD card image of $card_mib MiB made in $((SECONDS - start)) s" >&2
echo "$out/sd.img"
