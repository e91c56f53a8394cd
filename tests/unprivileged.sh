#!/bin/sh
# Runs a command as the user nobody when started by root, else as it is:
# read-only files hold only for a user who is not root.
if [ "$(id -u)" -eq 0 ]; then
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
fi
exec "$@"
