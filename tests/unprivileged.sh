#!/bin/sh
# Runs a test program as the user nobody when started by root, else as it
# is: read-only files hold only for a user who is not root. The program and
# the files its arguments name are copied to a directory of their own first,
# since the build tree may lie where nobody cannot reach it (under /root); an
# argument that names a directory (the helper directory) becomes that one.
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi
set -eu
stage=$(mktemp -d /tmp/tavo-unprivileged.XXXXXX)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
for arg in "$@"; do
  if [ -f "$arg" ]; then
    cp "$arg" "$stage/"
    arg="$stage/$(basename "$arg")"
  elif [ -d "$arg" ]; then
    arg=$stage
  fi
  set -- "$@" "$arg"
  shift
done
cd "$stage"
setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
