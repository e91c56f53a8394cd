#!/bin/sh
# Builds the Windows executable and runs under wine, in a prefix of its own:
# the cross-built unit tests, the end-to-end scenarios of the native run and
# the cases only Windows shows (the runners are native programs). The unit
# tests and the Windows-only cases run as an unprivileged user.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/build-windows.sh
[ -x build/native/e2e_test ] && [ -x build/native/e2e_hostile_test ] && [ -x build/native/e2e_windows_test ] || scripts/build-native.sh

export WINEPREFIX="$root/build/wine-prefix" WINEDEBUG=-all
results="$root/build/wine-results"
rm -rf "$results"
mkdir -p "$results"

# Read-only files hold only for a user who is not root (wine run as root
# writes them all the same): the cases where Windows' own rules matter run as
# an unprivileged user, in a prefix of its own that it owns (wine refuses
# any other) and with scratch directories of its own.
user=tavo_wine
if [ "$(id -u)" -eq 0 ]; then
  id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
  home=$(getent passwd "$user" | cut -d: -f6)
  as_user() {
    (cd "$home" && setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups \
      env HOME="$home" USER="$user" LOGNAME="$user" WINEPREFIX="$home/wine-prefix" \
      TMPDIR="$home/tmp" "$@")
  }
  # The build tree may lie where the user cannot reach it (under /root): its
  # programs and reports go through a directory of the user's own.
  stage="$home/stage"
  rm -rf "$stage"
  mkdir -p "$stage/windows" "$stage/results"
  cp build/windows/*.exe "$stage/windows/"
  cp build/native/e2e_windows_test "$stage/"
  chown -R "$user" "$stage"
  userWin="$stage/windows"
  userRunner="$stage/e2e_windows_test"
  userResults="$stage/results"
else
  as_user() { "$@"; }
  userWin="$root/build/windows"
  userRunner=build/native/e2e_windows_test
  userResults=$results
fi

# The case of a system code page that is not UTF-8 needs a Turkish locale
# with a single-byte character set.
if ! locale -a | grep -qx 'tr_TR.iso88599'; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO localedef -i tr_TR -f ISO-8859-9 tr_TR.ISO-8859-9
fi

# Stops these prefixes' servers only, however the run ends.
trap 'wineserver -k >/dev/null 2>&1 || true; as_user wineserver -k >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# A persistent server makes each process start in milliseconds. The first
# process starts wine's background services, which keep its standard
# streams: give them /dev/null, not a test runner's pipes.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1
# The same for the unprivileged user's prefix.
as_user sh -c 'mkdir -p "$TMPDIR"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1; wineserver -w; fi
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true'

status=0
# suite NAME REPORT COMMAND...: runs one GoogleTest program, which writes
# its report to $results/NAME.xml, spelt REPORT for it.
suite() {
  name=$1
  report=$2
  shift 2
  echo "== $name"
  "$@" --gtest_output="xml:$report" || status=1
}

win="$root/build/windows"
e2e="--updater $win/tavo_updater.exe --helpers $win --prefix wine --paths wine"
# The C runtime under wine only takes a zone from TZ that is set before the
# process starts; the time tests use this POSIX-style zone.
suite wine_unit_tests "Z:$(echo "$userResults/wine_unit_tests.xml" | tr / '\\')" \
  as_user env TZ=EST5EDT wine "$userWin/unit_tests.exe"
# shellcheck disable=SC2086
suite wine_e2e "$results/wine_e2e.xml" build/native/e2e_test $e2e
# shellcheck disable=SC2086
suite wine_e2e_hostile "$results/wine_e2e_hostile.xml" build/native/e2e_hostile_test $e2e
# shellcheck disable=SC2086
suite wine_e2e_windows "$userResults/wine_e2e_windows.xml" as_user "$userRunner" \
  --updater "$userWin/tavo_updater.exe" --helpers "$userWin" --prefix wine --paths wine
[ "$userResults" = "$results" ] || cp "$userResults"/*.xml "$results/" 2>/dev/null || true

# One closing line over the suites.
passed=0
failed=0
skippedAll=0
for report in "$results"/*.xml; do
  line=$(grep -m1 '<testsuites ' "$report" || true)
  tests=$(echo "$line" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
  failures=$(echo "$line" | sed -n 's/.* failures="\([0-9]*\)".*/\1/p')
  disabled=$(echo "$line" | sed -n 's/.* disabled="\([0-9]*\)".*/\1/p')
  skipped=$(grep -c 'result="skipped"' "$report" || true)
  passed=$((passed + ${tests:-0} - ${failures:-0} - ${disabled:-0} - ${skipped:-0}))
  skippedAll=$((skippedAll + ${skipped:-0}))
  failed=$((failed + ${failures:-0}))
done
echo "wine: $passed passed, $failed failed, $skippedAll skipped"
[ "$failed" -eq 0 ] || status=1
exit "$status"
