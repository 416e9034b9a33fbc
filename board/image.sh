#!/usr/bin/env bash
# Makes the emulated board's system, a stock Debian 12 armhf root in an ext4
# image, once per set of package versions, and prints the directory that
# holds it: root.ext4 (and the same root as root.tar.gz), vmlinuz, the
# login key id_ed25519, the board's host_key.pub, and versions (every
# package in the image).  The kernel
# package and busybox stay unpacked beside it, for the initramfs.
#   board/image.sh
# The cache lies outside the source and build trees, since CI clones afresh:
# ${XDG_CACHE_HOME:-~/.cache}/board-toolset/.  The archive is the one this
# machine's apt uses.  Needs root (mmdebstrap's root mode).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/board-toolset
fail() { echo "board: $*" >&2; exit 1; }
mkdir -p "$cache"

# The kernel (and busybox for the initramfs) from the archive.
timeout 600 "$here/fetch.sh" "$cache" >&2
kdir=$cache/kernel
kver=$(ls "$kdir/lib/modules")

packages=(systemd-sysv udev openssh-server iproute2 kmod procps man-db libstdc++6 libgcc-s1)
sources=$(ls /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
          xargs -r grep -l -E '^(deb |Types:)' || true)
[ -n "$sources" ] || fail "no apt sources on this machine to build the board from"

# The key: the candidate versions of what goes in, the kernel, and the scripts.
key=$( { apt-cache policy $(printf '%s:armhf ' "${packages[@]}" libc6 base-files) 2>/dev/null | grep -E '^[^ ]|Candidate:'
         cat "$kdir/.from" "$here/image.sh" "$here/guest/setup" "$here/../tools/apt-update"; } | sha256sum | cut -c1-16)
out=$cache/image-$key
if [ -f "$out/done" ]; then echo "$out"; exit 0; fi

# Foreign binaries run through qemu-user.
if [ -z "$(ls /proc/sys/fs/binfmt_misc 2>/dev/null)" ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  update-binfmts --enable qemu-arm || true
fi
arch-test armhf >/dev/null || fail "this machine cannot run armhf programs (apt-get install qemu-user-static binfmt-support)"

rm -rf "$out" "$out.tmp" && mkdir -p "$out.tmp"
work=$out.tmp
ssh-keygen -q -t ed25519 -N '' -C board-login -f "$work/id_ed25519"
start=$SECONDS

# Under emulation the maintainer scripts are what costs: the host keys are
# made here, the hardware database and the documentation are left out, man
# finds its pages without an index (no mandb at each install), no initramfs
# is made (the kernel package is unpacked, not installed), and /usr is
# merged from the start rather than by usrmerge.
# The package lists are read as tools/setup reads them (tools/apt-update):
# a mirror out of step with its index gets a second try, then the root is
# made from the lists that came, as this machine's apt is.
root=$work/root
mmdebstrap --arch=armhf --variant=apt --mode=root --quiet --skip=update \
  --setup-hook="APT_CONFIG=\"\$MMDEBSTRAP_APT_CONFIG\" '$here/../tools/apt-update' 30" \
  --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
  --include="$(IFS=,; echo "${packages[*]}")" \
  --aptopt='Acquire::Languages "none"' \
  --dpkgopt=force-unsafe-io \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-exclude=/usr/share/info/*' \
  --dpkgopt='path-exclude=/usr/share/man/??/*' \
  --dpkgopt='path-exclude=/usr/share/man/??_*/*' \
  --dpkgopt='path-exclude=/usr/lib/udev/hwdb.d/*' \
  --essential-hook='mkdir -p "$1/etc/ssh" && ssh-keygen -q -A -f "$1"' \
  --essential-hook='echo "man-db man-db/auto-update boolean false" | chroot "$1" debconf-set-selections' \
  --customize-hook="mkdir -p \"\$1/usr/lib/modules\" && cp -a '$kdir/lib/modules/.' \"\$1/usr/lib/modules/\" && chroot \"\$1\" depmod $kver" \
  --customize-hook="install -d -m 700 \"\$1/root/.ssh\" && install -m 600 '$work/id_ed25519.pub' \"\$1/root/.ssh/authorized_keys\"" \
  --customize-hook="'$here/guest/setup' \"\$1\" && cp \"\$1/var/log/dpkg.log\" '$work/dpkg.log'" \
  bookworm "$root" $sources >&2
echo "board: root file system made in $((SECONDS - start)) s" >&2

# The image: the root plus room for the packages and the tests.
dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Package} ${Version}\n' >"$work/versions"
cp "$root/etc/ssh/ssh_host_ed25519_key.pub" "$work/host_key.pub"
size=$(( $(du -sm "$root" | cut -f1) + 768 ))
mke2fs -q -t ext4 -L board -d "$root" "$work/root.ext4" "${size}M" >&2
# The same root as a tarball, for a board whose root is served over NFS
# (board/nfsroot.sh).
tar -C "$root" --numeric-owner --xattrs --xattrs-include='*' -czf "$work/root.tar.gz" .
cp "$(ls "$kdir"/boot/vmlinuz-* | head -n1)" "$work/vmlinuz"
rm -rf "$root"
touch "$work/done"
mv "$work" "$out"
# Earlier images are of other versions.
find "$cache" -maxdepth 1 -name 'image-*' ! -name "image-$key" -exec rm -rf {} +
echo "board: image made in $((SECONDS - start)) s" >&2
echo "$out"
