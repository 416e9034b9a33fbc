#!/usr/bin/env bash
# Boots the emulated board and waits until it serves test runs.
#   board/up.sh STATE_DIR SHARE_DIR
# Run before the tests (CTest's pre-test command); board/down.sh stops it.
# The board: qemu-system-arm -M virt,highmem=off with a Cortex-A15 pair and
# 1 GiB, Debian's armmp kernel, an initramfs made here, the host tree
# SHARE_DIR over 9p at the same path, user networking with the guest's test
# server forwarded to a free host port, and three 16550A UARTs on PCI:
# ttyS0 and ttyS1 are joined to each other, ttyS2 ends in a host socket
# (STATE_DIR/ttyS2.sock) for a peer on the PC.
# A watchdog stops qemu when the process that started the board ends, or
# after BOARD_LIFETIME seconds (default 1800); BOARD_WATCH_PID names another
# process to outlive (the default is the caller).
set -euo pipefail
state=$1 share=$2
here=$(cd "$(dirname "$0")" && pwd)
boot_timeout=${BOARD_BOOT_TIMEOUT:-120}
lifetime=${BOARD_LIFETIME:-1800}

fail() { echo "board: $*" >&2; exit 1; }

# CTest runs its pre-test command for a mere listing too; that needs no board.
if tr '\0' '\n' </proc/$PPID/cmdline 2>/dev/null | grep -qx -e -N -e --show-only -e '--show-only=.*'; then
  exit 0
fi

command -v qemu-system-arm >/dev/null || fail "qemu-system-arm is missing (apt-get install qemu-system-arm)"
mkdir -p "$state" && chmod 700 "$state"
"$here/down.sh" "$state" >/dev/null 2>&1 || true   # a board left from an interrupted run

timeout 600 "$here/fetch.sh" "$state"
# A fresh secret per boot that every request must carry: the forwarded port
# is open to every local user, the guest runs as root and writes to the share.
(umask 077 && head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$state/token")
timeout 120 "$here/mkinitramfs.sh" "$state" "$share"
kernel=$(ls "$state"/kernel/boot/vmlinuz-* | head -n1)

# A host port for the control channel, and one for joining ttyS0 and ttyS1.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
              echo $((20000 + RANDOM % 20000)); }
port=$(free_port)
join=$(free_port)
rm -f "$state/console.log" "$state/ttyS2.sock" "$state/port" "$state/deadline"

# ttyS1's client end connects at start-up to ttyS0's listening end.
setsid qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 1024 \
  -display none -monitor none -no-reboot \
  -kernel "$kernel" -initrd "$state/initramfs.cpio" \
  -append "console=ttyAMA0 rdinit=/init panic=-1 loglevel=4" \
  -chardev file,id=con,path="$state/console.log" -serial chardev:con \
  -netdev user,id=net0,hostfwd=tcp:127.0.0.1:$port-:7000 -device virtio-net-device,netdev=net0 \
  -fsdev local,id=fs0,path="$share",security_model=none -device virtio-9p-device,fsdev=fs0,mount_tag=share \
  -chardev socket,id=u0,host=127.0.0.1,port=$join,server=on,wait=off -device pci-serial,chardev=u0 \
  -chardev socket,id=u1,host=127.0.0.1,port=$join -device pci-serial,chardev=u1 \
  -chardev socket,id=u2,path="$state/ttyS2.sock",server=on,wait=off -device pci-serial,chardev=u2 \
  </dev/null >"$state/qemu.log" 2>&1 &
qemu=$!
echo "$qemu" >"$state/qemu.pid"

# The watchdog: qemu never outlives its starter (CTest) nor the lifetime.
starter=${BOARD_WATCH_PID:-$PPID}
setsid bash -c '
  qemu=$1 starter=$2 lifetime=$3
  end=$((SECONDS + lifetime))
  while kill -0 "$qemu" 2>/dev/null; do
    if ! kill -0 "$starter" 2>/dev/null; then
      kill -KILL "$qemu" 2>/dev/null; break
    fi
    if [ $SECONDS -ge $end ]; then
      echo "$lifetime" >"$4/deadline"
      kill -KILL "$qemu" 2>/dev/null; break
    fi
    sleep 1
  done' board-watchdog "$qemu" "$starter" "$lifetime" "$state" </dev/null >/dev/null 2>&1 &
echo $! >"$state/watchdog.pid"

console_tail() {
  echo "board: last lines of the console ($state/console.log):" >&2
  tail -n 25 "$state/console.log" 2>/dev/null | sed 's/^/  | /' >&2 || true
  tail -n 5 "$state/qemu.log" 2>/dev/null | sed 's/^/  qemu: /' >&2 || true
}

echo "$port" >"$state/port"
deadline=$((SECONDS + boot_timeout))
while :; do
  if ! kill -0 "$qemu" 2>/dev/null; then
    console_tail; fail "qemu ended while the guest was booting"
  fi
  if grep -q '^board: up' "$state/console.log" 2>/dev/null &&
     line=$(BOARD_CONNECT_TIMEOUT=5 timeout 20 "$here/launch.sh" "$state" uname -srm 2>/dev/null) &&
     [ -n "$line" ]; then
    break
  fi
  if [ $SECONDS -ge $deadline ]; then
    console_tail
    "$here/down.sh" "$state" >/dev/null 2>&1 || true
    fail "the guest did not come up within $boot_timeout s"
  fi
  sleep 1
done
grep '^board: cannot' "$state/console.log" >&2 && { console_tail; "$here/down.sh" "$state"; fail "the guest came up incomplete"; }
echo "board: guest kernel $line (up in $((SECONDS)) s)"
