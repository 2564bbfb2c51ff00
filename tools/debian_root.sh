#!/usr/bin/env bash
# Runs make targets (default: test) from a clean clone of HEAD inside a fresh Debian root,
# to see what a new CI machine of another release sees: nothing installed but what
# `make deps` installs. Needs root and debootstrap.
# Usage: tools/debian_root.sh RELEASE ROOT_DIR [TARGET...]   e.g. trixie /work/trixie-root
set -euo pipefail
release=${1:?release, e.g. bookworm or trixie}
root=$(realpath -m "${2:?a directory for the root}")
shift 2
targets=("${@:-test}")
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)

[ "$(id -u)" = 0 ] || { echo "needs root" >&2; exit 1; }
if [ ! -x "$root/usr/bin/apt-get" ]; then
    debootstrap --variant=minbase "$release" "$root" http://deb.debian.org/debian
fi
cp /etc/resolv.conf "$root/etc/"

mounted=()
unmount() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" 2>/dev/null || true; done
}
trap unmount EXIT
bind() {
    mountpoint -q "$2" && return
    mount --bind "$1" "$2"
    mounted+=("$2")
}
# The root bound onto itself is a mount point, which private mount namespaces need.
bind "$root" "$root"
mount --make-private "$root"
for m in proc sys dev dev/pts dev/shm; do bind "/$m" "$root/$m"; done

chroot "$root" /bin/bash -c "DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make git ca-certificates python3 python3-venv >/dev/null"
# A network that re-signs TLS has its authority in the host's bundle only.
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"

rm -rf "$root/root/vistrel"
git clone -q "$repo" "$root/root/vistrel"
chroot "$root" /bin/bash -c "cd /root/vistrel && make ${targets[*]}"
