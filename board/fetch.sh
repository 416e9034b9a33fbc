#!/usr/bin/env bash
# Fetches the Debian armhf packages the emulated board is made of and unpacks
# them: the kernel that linux-image-armmp:armhf currently depends on, and
# busybox-static:armhf.  Only Debian's own archive is used, through apt.
#   board/fetch.sh STATE_DIR
# Leaves STATE_DIR/kernel/ (the unpacked kernel package, vmlinuz under boot/)
# and STATE_DIR/busybox/.  One line on standard error and status 1 when a
# package cannot be had.
set -euo pipefail
state=$1
mkdir -p "$state/debs"

fail() { echo "board: $*" >&2; exit 1; }

# The image package the metapackage points at now; its ABI number is never
# written down anywhere.
image=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-armmp\)\(:armhf\)\{0,1\}$/\1/p' | head -n1 || true)
[ -n "$image" ] || fail "no kernel package: linux-image-armmp:armhf is not known to apt (run: dpkg --add-architecture armhf && apt-get update)"

# Downloads package NAME:armhf into debs/ unless that version is there already,
# and prints the path of the .deb.
download() {
  local name=$1 version file
  version=$(apt-cache policy "$name:armhf" 2>/dev/null | sed -n 's/^ *Candidate: //p' || true)
  [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
  file=$(ls "$state/debs/${name}_"*"_armhf.deb" 2>/dev/null | grep -F "_${version//:/%3a}_" | head -n1 || true)
  if [ -z "$file" ]; then
    (cd "$state/debs" && timeout 300 apt-get download -q "$name:armhf=$version" >/dev/null 2>"$state/debs/apt.log") || return 1
    file=$(ls "$state/debs/${name}_"*"_armhf.deb" | grep -F "_${version//:/%3a}_" | head -n1)
  fi
  echo "$file"
}

# Unpacks a .deb into DIR once per package version.
unpack() {
  local deb=$1 dir=$2
  if [ "$(cat "$dir/.from" 2>/dev/null)" != "$(basename "$deb")" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    basename "$deb" >"$dir/.from"
  fi
}

kdeb=$(download "$image") || fail "no kernel package: cannot download $image:armhf (see $state/debs/apt.log)"
unpack "$kdeb" "$state/kernel"
ls "$state"/kernel/boot/vmlinuz-* >/dev/null 2>&1 || fail "no kernel package: $image:armhf holds no boot/vmlinuz"

bdeb=$(download busybox-static) || fail "cannot download busybox-static:armhf (see $state/debs/apt.log)"
unpack "$bdeb" "$state/busybox"
