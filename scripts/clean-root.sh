#!/bin/sh
# Runs a command on a clean clone of the current commit inside a brand-new
# Debian 12 root, so that a package the project forgot to install fails here
# and not on a new user's machine. Usage, as root, from anywhere in the tree:
#   scripts/clean-root.sh [COMMAND]      (default: make demo && make test)
# The minimal root (debootstrap, variant minbase, plus make, git,
# ca-certificates, python3, procps and xz-utils) is made once and cached in
# $TAVO_CLEAN_ROOT (default /var/cache/tavo-clean-root); every run works in
# a fresh copy of it, which is deleted afterwards. Downloaded package files
# are kept in the cache between runs: they save the download, not the
# install, so the check stays as strict.
set -eu

if [ "$(id -u)" -ne 0 ]; then
  echo "clean-root: needs root (debootstrap, chroot and mounts); run it with sudo" >&2
  exit 1
fi

src=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$src" rev-parse HEAD)
cache=${TAVO_CLEAN_ROOT:-/var/cache/tavo-clean-root}
base=$cache/base
packages=$cache/apt-archives
cmd=${*:-make demo && make test}
start=$(date +%s)

# retry N COMMAND...: runs COMMAND up to N times, 10 s apart, for steps that
# download (a mirror that drops a connection should not fail the check).
retry() {
  tries=$1
  shift
  n=1
  until "$@"; do
    [ "$n" -lt "$tries" ] || return 1
    echo "clean-root: '$1' failed, attempt $n of $tries; trying again in 10 s" >&2
    n=$((n + 1))
    sleep 10
  done
}

# The mirror and suites of this machine's own apt sources.
mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb / { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

mkdir -p "$cache" "$packages/partial"
if ! command -v debootstrap >/dev/null; then
  retry 3 apt-get update -qq
  retry 3 env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi
if [ ! -f "$base/.complete" ]; then
  echo "clean-root: making the base root in $base (once)"
  make_base() {
    rm -rf "$base"
    debootstrap --variant=minbase --include=make,git,ca-certificates,python3,procps,xz-utils \
      bookworm "$base" "$mirror" >"$cache/debootstrap.log" 2>&1
  }
  retry 3 make_base || { tail -n 20 "$cache/debootstrap.log" >&2; exit 1; }
  # The same suites as this machine (updates and security too).
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$base/etc/apt/sources.list.d/"
    : >"$base/etc/apt/sources.list"
  fi
  # apt inside the root retries its own downloads too.
  echo 'Acquire::Retries "3";' >"$base/etc/apt/apt.conf.d/80retries"
  touch "$base/.complete"
fi

run=$(mktemp -d "$cache/run.XXXXXX")
mounted=""
cleanup() {
  status=$?
  trap - EXIT INT TERM
  # Whatever still runs inside the root (a test's background server, the
  # command itself after a signal to this script alone) goes first.
  for pass in TERM KILL; do
    for p in /proc/[0-9]*; do
      if [ "$(readlink "$p/root" 2>/dev/null)" = "$run" ]; then
        kill -s "$pass" "${p#/proc/}" 2>/dev/null || true
      fi
    done
    sleep 1
  done
  # Innermost first; lazy so that a process still inside cannot keep them.
  for m in $mounted; do umount -l "$run/$m" 2>/dev/null || true; done
  # Only delete the copy once nothing is mounted in it any more.
  if ! grep -q " $run/" /proc/mounts; then rm -rf "$run"; fi
  echo "clean-root: exit $status after $(($(date +%s) - start)) s ($cmd, commit $(echo "$commit" | cut -c1-12))"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cp -a "$base/." "$run/"
cp /etc/resolv.conf "$run/etc/resolv.conf" 2>/dev/null || true
# Each mount is noted before it is made, so that cleanup undoes whatever
# got made (unmounting what is not mounted is harmless).
mounted="proc $mounted"
mount -t proc proc "$run/proc"
mounted="sys $mounted"
mount --rbind /sys "$run/sys"
mount --make-rslave "$run/sys"
mounted="dev $mounted"
mount --bind /dev "$run/dev"
mounted="dev/pts $mounted"
mount -t devpts devpts "$run/dev/pts" 2>/dev/null || true
mounted="dev/shm $mounted"
mount -t tmpfs -o size=8g,mode=1777 tmpfs "$run/dev/shm"
mounted="var/cache/apt/archives $mounted"
mount --bind "$packages" "$run/var/cache/apt/archives"

# A clean clone of exactly this commit: nothing of the work tree's builds,
# caches or uncommitted changes comes along.
git clone -q --no-checkout "$src" "$run/root/project"
git -C "$run/root/project" checkout -q --detach "$commit"

echo "clean-root: running '$cmd' on a clean clone of $(echo "$commit" | cut -c1-12) in a new Debian 12 root"
set +e
chroot "$run" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI=true \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/sh -c "cd /root/project && $cmd"
status=$?
set -e
exit "$status"
