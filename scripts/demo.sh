#!/bin/sh
# Demo update: installs the stand-in application at version 1, builds an
# update archive for version 2, lets the application hand it over to the
# updater and checks that the relaunched application reports version 2.
set -eu
cd "$(dirname "$0")/.."
root="$PWD/build/demo"
inst="$root/Tavonu"
rm -rf "$root"
mkdir -p "$inst/lib" "$root/update/lib" "$root/update/eklentiler"

# Installation at version 1.
cp build/native/tavonu build/native/tavo_updater "$inst/"
echo 1 > "$inst/surum.txt"
echo "dil=tr" > "$inst/ayarlar.ini"
echo "cekirdek 1" > "$inst/lib/cekirdek.dll"

# Update archive for version 2, with a copy of the updater that must be skipped.
echo 2 > "$root/update/surum.txt"
echo "cekirdek 2" > "$root/update/lib/cekirdek.dll"
echo "yeni kutuphane" > "$root/update/lib/yeni.dll"
cp build/native/tavo_updater "$root/update/tavo_updater.exe"
(cd "$root/update" && zip -qr "$root/guncelleme.zip" surum.txt lib eklentiler tavo_updater.exe)

show() {
  (cd "$inst" && find . -mindepth 1 | sort | while read -r f; do
    if [ -f "$f" ] && [ "${f#./tavo}" = "$f" ]; then
      printf '  %-22s %s\n' "$f" "$(head -c 40 "$f" | tr '\n' ' ')"
    else
      printf '  %s\n' "$f"
    fi
  done)
}

echo "== installation before the update"
show
echo "== the application starts the update and exits"
"$inst/tavonu" --guncelle "$root/guncelleme.zip" > "$root/output.txt" 2>&1

# The updater runs on its own; wait for the relaunched application.
i=0
until grep -q "surum 2" "$inst/rapor.txt" 2>/dev/null; do
  i=$((i + 1))
  if [ $i -gt 600 ]; then
    echo "demo: the application was not relaunched at version 2" >&2
    cat "$root/output.txt" >&2
    exit 1
  fi
  sleep 0.1
done
sleep 0.2
echo "== output of the application and the updater"
sed 's/^/  /' "$root/output.txt"
echo "== installation after the update"
show

fail=0
[ "$(cat "$inst/surum.txt")" = 2 ] || { echo "demo: surum.txt is not 2" >&2; fail=1; }
[ -f "$inst/lib/yeni.dll" ] || { echo "demo: lib/yeni.dll missing" >&2; fail=1; }
[ -d "$inst/eklentiler" ] || { echo "demo: eklentiler/ missing" >&2; fail=1; }
[ ! -e "$inst/tavo_updater.exe" ] || { echo "demo: the updater copy was written" >&2; fail=1; }
[ ! -e "$inst/_guncelleme_yedek" ] || { echo "demo: backup directory left" >&2; fail=1; }
grep -q "^Guncelleme tamam.$" "$root/output.txt" || { echo "demo: no success line" >&2; fail=1; }
[ $fail -eq 0 ] && echo "== demo passed: the relaunched application reports version 2"
exit $fail
