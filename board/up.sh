#!/usr/bin/env bash
# Boots the emulated board and waits until it takes an ssh login.
#   board/up.sh STATE_DIR
# The board: qemu-system-arm -M virt,highmem=off with a Cortex-A15 pair and
# 1 GiB, Debian 12 armhf with systemd from the image board/image.sh makes (or
# has cached), writes kept apart from the image (snapshot=on), user
# networking with the guest's ssh port forwarded to a free port on this
# machine's loopback, three 16550A UARTs on PCI: ttyS0 and ttyS1 are joined
# to each other, ttyS2 ends in a socket here (STATE_DIR/ttyS2.sock), and
# three FTDI USB-serial adapters on an xHCI controller: the one on USB port
# 1 (ttyUSB0) ends in a socket here (STATE_DIR/ttyUSB0.sock), those on ports
# 2 and 3 are joined to each other.
# With BOARD_MACHINE=pi2 (default virt) the board is a Raspberry Pi 2 instead:
# qemu-system-arm -M raspi2b with its four Cortex-A7 and 1 GiB, booted from
# the SD card image board/sdimage.sh makes of the same root, writes kept
# apart likewise. As on a real Pi 2, a hub sits on its one USB port, with the
# network adapter on the hub's port 1 (usb-net, ssh forwarded alike); the
# same three USB-serial adapters go on hub ports 2, 3 and 4.
# qemu's monitor listens on STATE_DIR/monitor.sock, where a test pulls the
# adapter that ends here (board/usb.sh) and plugs it back; STATE_DIR/usb.env
# says where it sits.
# Leaves STATE_DIR/ssh_config with the host "board": `ssh -F STATE_DIR/ssh_config board`.
# A watchdog stops qemu when the process that started the board ends, or
# after BOARD_LIFETIME seconds (default 1800); board/down.sh stops it before.
set -euo pipefail
state=$1
here=$(cd "$(dirname "$0")" && pwd)
machine=${BOARD_MACHINE:-virt}
case $machine in
  virt) boot_timeout=${BOARD_BOOT_TIMEOUT:-180} ;;
  pi2) boot_timeout=${BOARD_BOOT_TIMEOUT:-480} ;;
  *) echo "board: no machine $machine (BOARD_MACHINE is virt or pi2)" >&2; exit 1 ;;
esac
lifetime=${BOARD_LIFETIME:-1800}
fail() { echo "board: $*" >&2; exit 1; }

command -v qemu-system-arm >/dev/null || fail "qemu-system-arm is missing (apt-get install qemu-system-arm)"
command -v ssh >/dev/null || fail "no ssh client here (apt-get install openssh-client)"
[ "$machine" = virt ] || command -v fdtput >/dev/null || fail "fdtput is missing (apt-get install device-tree-compiler)"
mkdir -p "$state" && chmod 700 "$state"
state=$(cd "$state" && pwd)
"$here/down.sh" "$state" >/dev/null 2>&1 || true   # a board left from an interrupted run

image=$("$here/image.sh")
[ "$machine" = virt ] || sd=$("$here/sdimage.sh")
timeout 120 "$here/mkinitramfs.sh" "$(dirname "$image")" "$state/initramfs.cpio"

# A host port for ssh, and one for joining ttyS0 and ttyS1, from the tests'
# own finder (BOARD_FREE_PORT, default the board build's free_port, an armhf
# program that runs here under user-mode qemu).
finder=${BOARD_FREE_PORT:-$here/../build/board/tests/support/free_port}
[ -x "$finder" ] || fail "no $finder (cmake --build --preset board makes it)"
port=$(QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf "$finder") || fail "no free port for ssh"
join=$port usbjoin=$port
while [ "$join" = "$port" ]; do
  join=$(QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf "$finder") || fail "no free port for the UART pair"
done
while [ "$usbjoin" = "$port" ] || [ "$usbjoin" = "$join" ]; do
  usbjoin=$(QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf "$finder") || fail "no free port for the USB pair"
done
rm -f "$state/console.log" "$state/ttyS2.sock" "$state/ttyUSB0.sock" "$state/monitor.sock" "$state/deadline" "$state/usb.env"

# The USB-serial adapters: usb0 ends here, usb1 and usb2 are joined.
if [ "$machine" = pi2 ]; then usb_bus=usb-bus.0 usb_ports=(1.2 1.3 1.4); else usb_bus=xhci.0 usb_ports=(1 2 3); fi
usb0="usb-serial,id=usb0,bus=$usb_bus,port=${usb_ports[0]},chardev=usbpc,always-plugged=on"
printf 'usb0_device=%s\nusb0_port=%s\n' "$usb0" "${usb_ports[0]}" >"$state/usb.env"
usb_serials=(
  -chardev socket,id=usbpc,path="$state/ttyUSB0.sock",server=on,wait=off -device "$usb0"
  -chardev socket,id=usba,host=127.0.0.1,port=$usbjoin,server=on,wait=off
  -device usb-serial,id=usb1,bus=$usb_bus,port=${usb_ports[1]},chardev=usba,always-plugged=on
  -chardev socket,id=usbb,host=127.0.0.1,port=$usbjoin
  -device usb-serial,id=usb2,bus=$usb_bus,port=${usb_ports[2]},chardev=usbb,always-plugged=on
  -monitor unix:"$state/monitor.sock",server=on,wait=off)

start=$SECONDS
# The Pi 2: its SD card, a USB network adapter, the console on its PL011.
# Its four processors on this machine's two cores stall now and then for
# 20 s and more, while one of them flushes the TLB page by page for the
# others; an SD interrupt held that long makes the kernel's sdhost driver,
# the one the Pi's device tree names, Oops. The card goes on the SoC's
# other SD controller (sdhci), which outlives the stalls, in a copy of the
# device tree; the card image keeps the Pi's own.
pi2_qemu() {
  local dtb=$state/bcm2836-rpi-2-b.dtb
  cp "$(ls "$(dirname "$image")"/kernel/usr/lib/linux-image-*/bcm2836-rpi-2-b.dtb | head -n1)" "$dtb"
  fdtput -t s "$dtb" /soc/mmc@7e202000 status disabled
  fdtput -t s "$dtb" /soc/mmc@7e300000 status okay
  fdtput -t i "$dtb" /soc/mmc@7e300000 bus-width 4
  setsid qemu-system-arm -M raspi2b -m 1G \
    -display none -no-reboot \
    -kernel "$image/vmlinuz" -dtb "$dtb" -initrd "$state/initramfs.cpio" \
    -append "console=ttyAMA0 root=LABEL=board rw panic=-1 ${BOARD_APPEND:-quiet}" \
    -drive file="$sd",format=raw,if=sd,snapshot=on \
    -chardev file,id=con,path="$state/console.log" -serial chardev:con \
    -netdev user,id=net0,hostfwd=tcp:127.0.0.1:$port-:22 \
    -device usb-hub,bus=usb-bus.0,port=1 -device usb-net,netdev=net0,port=1.1 \
    "${usb_serials[@]}" \
    </dev/null >"$state/qemu.log" 2>&1 &
}
if [ "$machine" = pi2 ]; then pi2_qemu; else
# ttyS1's client end connects at start-up to ttyS0's listening end.
setsid qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 1024 \
  -display none -no-reboot \
  -kernel "$image/vmlinuz" -initrd "$state/initramfs.cpio" \
  -append "console=ttyAMA0 root=LABEL=board rw panic=-1 ${BOARD_APPEND:-quiet}" \
  -drive file="$image/root.ext4",format=raw,if=none,id=hd,snapshot=on -device virtio-blk-device,drive=hd \
  -chardev file,id=con,path="$state/console.log" -serial chardev:con \
  -netdev user,id=net0,hostfwd=tcp:127.0.0.1:$port-:22 -device virtio-net-device,netdev=net0 \
  -chardev socket,id=u0,host=127.0.0.1,port=$join,server=on,wait=off -device pci-serial,chardev=u0 \
  -chardev socket,id=u1,host=127.0.0.1,port=$join -device pci-serial,chardev=u1 \
  -chardev socket,id=u2,path="$state/ttyS2.sock",server=on,wait=off -device pci-serial,chardev=u2 \
  -device qemu-xhci,id=xhci "${usb_serials[@]}" \
  </dev/null >"$state/qemu.log" 2>&1 &
fi
qemu=$!
echo "$qemu" >"$state/qemu.pid"

# The watchdog: qemu never outlives its starter nor the lifetime.
starter=${BOARD_WATCH_PID:-$PPID}
setsid bash -c '
  qemu=$1 starter=$2 lifetime=$3
  end=$((SECONDS + lifetime))
  while kill -0 "$qemu" 2>/dev/null; do
    if ! kill -0 "$starter" 2>/dev/null; then kill -KILL "$qemu" 2>/dev/null; break; fi
    if [ $SECONDS -ge $end ]; then echo "$lifetime" >"$4/deadline"; kill -KILL "$qemu" 2>/dev/null; break; fi
    sleep 1
  done' board-watchdog "$qemu" "$starter" "$lifetime" "$state" </dev/null >/dev/null 2>&1 &
echo $! >"$state/watchdog.pid"

echo "board $(cut -d' ' -f1,2 "$image/host_key.pub")" >"$state/known_hosts"
cat >"$state/ssh_config" <<X
Host board
  HostName 127.0.0.1
  Port $port
  User root
  IdentityFile $image/id_ed25519
  IdentitiesOnly yes
  HostKeyAlias board
  UserKnownHostsFile $state/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  ConnectTimeout 10
  LogLevel ERROR
X

console_tail() {
  echo "board: last lines of the console ($state/console.log):" >&2
  tail -n 25 "$state/console.log" 2>/dev/null | sed 's/^/  | /' >&2 || true
  tail -n 5 "$state/qemu.log" 2>/dev/null | sed 's/^/  qemu: /' >&2 || true
}
deadline=$((SECONDS + boot_timeout))
until timeout 20 ssh -F "$state/ssh_config" -o ConnectTimeout=5 board true 2>/dev/null; do
  kill -0 "$qemu" 2>/dev/null || { console_tail; fail "qemu ended while the guest was booting"; }
  if [ $SECONDS -ge $deadline ]; then
    console_tail; "$here/down.sh" "$state" >/dev/null 2>&1 || true
    fail "the guest took no ssh login within $boot_timeout s"
  fi
  sleep 1
done
echo "board: up, ssh on 127.0.0.1:$port, in $((SECONDS - start)) s from the image $image"
