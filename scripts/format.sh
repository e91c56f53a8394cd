#!/bin/sh
# Formats every C++ file of the project with its .clang-format, or with
# --check only lists the files that are not formatted and fails when there
# are any (make test runs the check).
set -eu
cd "$(dirname "$0")/.."
# The tracked files; outside a git checkout, every source file but builds.
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null) ||
  files=$(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
if [ "${1:-}" = --check ]; then
  bad=""
  for f in $files; do
    clang-format --style=file "$f" | cmp -s - "$f" || bad="$bad $f"
  done
  if [ -n "$bad" ]; then
    echo "format: not formatted by .clang-format (make format fixes them):" >&2
    for f in $bad; do echo "  $f" >&2; done
    exit 1
  fi
  echo "format: $(echo "$files" | wc -w) C++ files formatted"
else
  # shellcheck disable=SC2086
  clang-format --style=file -i $files
fi
