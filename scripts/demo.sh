#!/bin/sh
# Demo update: installs the stand-in application at version 1, builds an
# update archive for version 2, lets the application hand it over to the
# updater and checks that the relaunched application reports version 2.
# Second act: an update killed half-way; the application, started again,
# has the updater put version 1 back byte for byte, then updates. Third act:
# an installation that holds the publisher's key refuses an archive changed
# after its signing and takes the signed one. Fourth act: releases packed
# with their lists; one that drops a file removes it and keeps the user's own
# file, and an older signed release is refused. Each time the application
# comes back it says what the update did, from the updater's outcome file.
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
# told_in FILE TEXT: the relaunched application told the outcome TEXT.
told_in() {
  grep -q "^Tavonu son guncelleme: $2" "$1" || { echo "demo: the application did not tell \"$2\"" >&2; exit 1; }
}
told_in "$root/output.txt" "tamam, 3 dosya yazildi"
[ ! -e "$inst/guncelleme_sonucu.json" ] || { echo "demo: the outcome was not taken" >&2; fail=1; }
[ $fail -eq 0 ] || exit 1
echo "== act 1 passed: the relaunched application reports version 2 and the update's outcome"

# ---- Act 2: killed half-way, recovered at the next start ----
inst="$root/Tavonu2"
mkdir -p "$inst/lib" "$inst/veri" "$root/update2/lib" "$root/update2/veri"
cp build/native/tavonu build/native/tavo_updater "$inst/"
echo 1 > "$inst/surum.txt"
echo "cekirdek 1" > "$inst/lib/cekirdek.dll"
echo 2 > "$root/update2/surum.txt"
echo "cekirdek 2" > "$root/update2/lib/cekirdek.dll"
for i in $(seq 1 30); do
  head -c 2000000 /dev/urandom > "$inst/veri/parca$i.bin"
  head -c 2000000 /dev/urandom > "$root/update2/veri/parca$i.bin"
done
(cd "$root/update2" && zip -q0r "$root/guncelleme2.zip" surum.txt lib veri)

# wait_for_start N VERSION: waits up to a minute until the application has
# started N times in all, the last time at VERSION.
wait_for_start() {
  i=0
  until [ "$(wc -l <"$inst/rapor.txt")" -ge "$1" ] && [ "$(tail -n 1 "$inst/rapor.txt")" = "surum $2" ]; do
    i=$((i + 1))
    [ $i -le 600 ] || { echo "demo: the application was not started at version $2" >&2; exit 1; }
    sleep 0.1
  done
  sleep 0.2
}

# Every file but the application's own report: path, size, time, checksum.
snapshot() {
  (cd "$inst" && find . -type f ! -name rapor.txt -printf '%P %s %T@ ' -exec sha256sum {} \; | sort)
}
snapshot > "$root/surum1.txt"
journal="$inst/_guncelleme_yedek/_gunluk.tvj"
echo "== act 2: an update of 60 MB, killed a moment after it has moved its first file aside"
"$inst/tavo_updater" --zip "$root/guncelleme2.zip" --hedef "$inst" > "$root/output2.txt" 2>&1 &
pid=$!
i=0
until [ -e "$inst/_guncelleme_yedek/surum.txt" ]; do
  i=$((i + 1))
  [ $i -le 3000 ] || { echo "demo: no journal appeared" >&2; exit 1; }
  sleep 0.01
done
kill -9 $pid
wait $pid 2>/dev/null || true
new=$(cd "$inst/veri" && for f in *.bin; do
  cmp -s "$f" "$root/update2/veri/$f" && echo "$f"; done | wc -l)
echo "  killed: $new of 30 data files already at version 2, the journal has $(stat -c %s "$journal") bytes"
snapshot | cmp -s - "$root/surum1.txt" && { echo "demo: the kill came too late" >&2; exit 1; }
echo "== the application starts, finds the interrupted update and hands it over"
"$inst/tavonu" > "$root/output3.txt" 2>&1
# It writes its version once before the hand-over, once after the recovery.
wait_for_start 2 1
sed 's/^/  /' "$root/output3.txt"
told_in "$root/output3.txt" "yarim kalan guncelleme geri alindi"
if snapshot | cmp -s - "$root/surum1.txt"; then
  echo "== the installation is back at version 1, byte for byte (contents and times)"
else
  echo "demo: the installation is not back at version 1" >&2
  exit 1
fi
echo "== the update again, to its end"
"$inst/tavonu" --guncelle "$root/guncelleme2.zip" > "$root/output4.txt" 2>&1
wait_for_start 4 2
sed 's/^/  /' "$root/output4.txt"
told_in "$root/output4.txt" "tamam, 32 dosya yazildi"
diff -rq "$root/update2/veri" "$inst/veri" >/dev/null || { echo "demo: veri/ is not version 2" >&2; exit 1; }
[ ! -e "$inst/_guncelleme_yedek" ] || { echo "demo: backup directory left" >&2; exit 1; }

# ---- Act 3: only the publisher's updates get in ----
# The publisher's key pair is made here, without a password, and stays in
# build/demo; the installer ships only the public key, as tavo_updater.pub.
inst="$root/Tavonu3"
keys="$root/anahtar"
mkdir -p "$inst" "$keys" "$root/update3"
minisign -G -W -p "$keys/tavonu.pub" -s "$keys/tavonu.key" >/dev/null
cp build/native/tavonu build/native/tavo_updater "$inst/"
cp "$keys/tavonu.pub" "$inst/tavo_updater.pub"
echo 1 > "$inst/surum.txt"
echo 2 > "$root/update3/surum.txt"
(cd "$root/update3" && zip -q "$root/guncelleme3.zip" surum.txt)
minisign -S -s "$keys/tavonu.key" -m "$root/guncelleme3.zip" >/dev/null
# A copy changed after the signing, with the publisher's signature beside it.
cp "$root/guncelleme3.zip" "$root/sahte.zip"
cp "$root/guncelleme3.zip.minisig" "$root/sahte.zip.minisig"
echo "arka kapi" > "$root/update3/arka_kapi.dll"
(cd "$root/update3" && zip -q "$root/sahte.zip" arka_kapi.dll)
: > "$inst/rapor.txt"
snapshot > "$root/surum1-3.txt"
echo "== act 3: an archive changed after the publisher signed it"
code=0
"$inst/tavo_updater" --zip "$root/sahte.zip" --hedef "$inst" --exe "$inst/tavonu" \
  --sonuc "$inst/guncelleme_sonucu.json" > "$root/output5.txt" 2>&1 || code=$?
wait_for_start 1 1
sed 's/^/  /' "$root/output5.txt"
echo "  exit code $code"
told_in "$root/output5.txt" "reddedildi, imza dogrulanamadi"
[ "$code" -eq 6 ] || { echo "demo: the changed archive was not refused with 6" >&2; exit 1; }
snapshot | cmp -s - "$root/surum1-3.txt" || { echo "demo: the refused update changed files" >&2; exit 1; }
[ ! -e "$inst/_guncelleme_yedek" ] || { echo "demo: the refused update made a backup" >&2; exit 1; }
echo "== refused: nothing changed, no backup directory, the application is back at version 1"
echo "== the application hands over the signed archive"
"$inst/tavonu" --guncelle "$root/guncelleme3.zip" > "$root/output6.txt" 2>&1
wait_for_start 3 2
sed 's/^/  /' "$root/output6.txt"
told_in "$root/output6.txt" "tamam"
[ ! -e "$inst/arka_kapi.dll" ] && [ ! -e "$inst/_guncelleme_yedek" ] || { echo "demo: act 3 left files" >&2; exit 1; }

# ---- Act 4: a release list drops a file; an older release is refused ----
# The publisher packs each release with tavo_paket (its list names every
# file it owns) and signs it.
inst="$root/Tavonu4"
mkdir -p "$inst" "$root/surum2/lib" "$root/surum3/lib"
cp build/native/tavonu build/native/tavo_updater "$inst/"
cp "$keys/tavonu.pub" "$inst/tavo_updater.pub"
echo 1 > "$inst/surum.txt"
echo 2 > "$root/surum2/surum.txt"
echo "cekirdek 2" > "$root/surum2/lib/cekirdek.dll"
echo "yeni kutuphane" > "$root/surum2/lib/yeni.dll"
echo 3 > "$root/surum3/surum.txt"
echo "cekirdek 3" > "$root/surum3/lib/cekirdek.dll"
for v in 2 3; do
  build/native/tavo_paket --kaynak "$root/surum$v" --zip "$root/tavonu-$v.zip" --urun tavonu \
    --surum "$v.0" >/dev/null
  minisign -S -s "$keys/tavonu.key" -m "$root/tavonu-$v.zip" >/dev/null
done
# run_update ZIP: the updater as the application starts it; prints its exit code.
run_update() {
  code=0
  "$inst/tavo_updater" --zip "$1" --hedef "$inst" --sonuc "$root/sonuc4.json" \
    > "$root/output7.txt" 2>&1 || code=$?
  sed 's/^/  /' "$root/output7.txt"
  echo "  exit code $code"
}
echo "== act 4: release 2.0, packed with its list and signed"
run_update "$root/tavonu-2.zip"
[ "$code" -eq 0 ] && [ -f "$inst/lib/yeni.dll" ] || { echo "demo: release 2.0 did not install" >&2; exit 1; }
echo "kendi eklentim" > "$inst/lib/kullanici.dll"
echo "== the user adds lib/kullanici.dll; release 3.0 no longer ships lib/yeni.dll"
run_update "$root/tavonu-3.zip"
show
[ "$code" -eq 0 ] || { echo "demo: release 3.0 did not install" >&2; exit 1; }
[ ! -e "$inst/lib/yeni.dll" ] || { echo "demo: the dropped lib/yeni.dll stayed" >&2; exit 1; }
[ -f "$inst/lib/kullanici.dll" ] || { echo "demo: the user's own file went" >&2; exit 1; }
snapshot > "$root/surum3.txt"
echo "== release 2.0, signed by the publisher, handed over again"
run_update "$root/tavonu-2.zip"
[ "$code" -eq 6 ] || { echo "demo: the older release was not refused with 6" >&2; exit 1; }
grep -q "^tavo_updater: eski surum: 2.0 (kurulu 3.0)$" "$root/output7.txt" ||
  { echo "demo: no refusal line" >&2; exit 1; }
snapshot | cmp -s - "$root/surum3.txt" || { echo "demo: the refused release changed files" >&2; exit 1; }
echo "== refused: the installation stays at release 3.0"
echo "== demo passed: version 2 after an update, version 1 back after a kill, then version 2;"
echo "   a changed archive refused, the signed one installed; a dropped file removed, the"
echo "   user's own file kept, an older signed release refused"
exit 0
