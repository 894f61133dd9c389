#!/usr/bin/env bash
# The Debian package as a user gets it: packed by CPack from this build,
# unpacked into a fresh root, its desktop entry, manual pages and copyright
# file checked, and
# the installed clbtool reading meters from the installed metersim, keeping
# its settings under the user's data folder.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$1
SOURCE=$2
WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/pkg" > "$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack"; }
DEB=$(ls "$WORK"/pkg/*.deb)
[ "$(dpkg-deb --field "$DEB" Package)" = clbtool ] || fail "package name"
dpkg -x "$DEB" "$WORK/root"
R="$WORK/root"
for f in usr/bin/clbview usr/bin/clbtool usr/bin/metersim usr/share/applications/clbview.desktop \
         usr/share/icons/hicolor/scalable/apps/clbview.svg usr/share/mime/packages/clbview.xml \
         usr/share/man/man1/clbtool.1.gz usr/share/man/man1/clbview.1.gz usr/share/man/man1/metersim.1.gz \
         usr/share/doc/clbtool/copyright usr/lib/clbtool/libclbprint.so; do
  [ -e "$R/$f" ] || fail "$f is not in the package"
done

# The user manual with every picture it shows.
MANUAL="$R/usr/share/doc/clbtool/manual"
[ -f "$MANUAL/index.html" ] && [ -f "$MANUAL/style.css" ] || fail "the user manual is not in the package"
for img in $(grep -o 'src="[^"]*"' "$MANUAL/index.html" | sed 's/^src="//; s/"$//'); do
  [ -s "$MANUAL/$img" ] || fail "the manual's picture $img is not in the package"
done

desktop-file-validate "$R/usr/share/applications/clbview.desktop" || fail "desktop entry"
grep -q '<glob pattern="\*.clb"/>' "$R/usr/share/mime/packages/clbview.xml" || fail "MIME type"
grep -q "^MimeType=application/x-clbview-bench;" "$R/usr/share/applications/clbview.desktop" || fail "entry MIME type"

# Every manual page: compressed with gzip -9n (no name, no time, best
# compression: the header's FLG has no FNAME bit, MTIME is 0, XFL is 2), none
# left uncompressed, rendered without a warning within 80 columns, and every
# page its SEE ALSO names is in the package.
MAN1="$R/usr/share/man/man1"
[ -z "$(find "$MAN1" -type f ! -name '*.gz')" ] || fail "uncompressed manual pages: $(find "$MAN1" -type f ! -name '*.gz')"
for page in "$MAN1"/*.gz; do
  name=$(basename "$page")
  gzip -t "$page" || fail "$name is no gzip file"
  read -r -a head <<< "$(od -An -tu1 -N9 "$page")"
  [ $(( head[3] & 8 )) -eq 0 ] || fail "$name keeps its file name (gzip without -n)"
  [ "${head[4]}${head[5]}${head[6]}${head[7]}" = 0000 ] || fail "$name keeps a time stamp (gzip without -n)"
  [ "${head[8]}" = 2 ] || fail "$name is not compressed with -9"
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" > "$WORK/$name.txt" 2> "$WORK/$name.err" \
    || fail "man -l $name: $(cat "$WORK/$name.err")"
  [ ! -s "$WORK/$name.err" ] || { cat "$WORK/$name.err"; fail "man -l warned on $name"; }
  python3 - "$WORK/$name.txt" <<'PY' || fail "$name has lines wider than 80 columns"
import sys
wide = [l.rstrip("\n") for l in open(sys.argv[1], encoding="utf-8") if len(l.rstrip("\n")) > 80]
for l in wide:
    print(len(l), l)
sys.exit(1 if wide else 0)
PY
  for seen in $(sed -n '/^SEE ALSO/,/^[A-Z]/p' "$WORK/$name.txt" | grep -o '[a-z][a-z0-9_-]*([1-8])'); do
    [ -e "$R/usr/share/man/man${seen: -2:1}/${seen%(*}.${seen: -2:1}.gz" ] || fail "$name refers to $seen, which is not in the package"
  done
done
cp "$WORK/clbtool.1.gz.txt" "$WORK/man.txt"

# The copyright file in the machine-readable format: the format line first, then
# paragraphs of files, each with its copyright and a license that has its text.
python3 - "$R/usr/share/doc/clbtool/copyright" <<'PY' || fail "the copyright file"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
paragraphs = [p for p in re.split(r"\n\s*\n", text.strip()) if p.strip()]
def fields(p):
    out, key = {}, None
    for line in p.splitlines():
        if line[:1] in (" ", "\t") and key:
            out[key] += "\n" + line.strip()
        else:
            key, _, value = line.partition(":")
            assert _ and re.fullmatch(r"[A-Za-z-]+", key), "not a field: " + line
            out[key] = value.strip()
    return out
head = fields(paragraphs[0])
assert head.get("Format") == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", head
files = [fields(p) for p in paragraphs[1:] if p.startswith("Files:")]
standalone = {f["License"].split("\n")[0] for f in map(fields, paragraphs[1:]) if "Files" not in f and "License" in f}
assert files and files[0]["Files"] == "*", "no Files: * paragraph"
for f in files:
    assert f.get("Copyright"), f
    name, _, body = f.get("License", "").partition("\n")
    assert name and (body.strip() or name in standalone), "a license without its text: " + str(f)
PY
"$R/usr/bin/clbtool" --help > "$WORK/help.txt" 2>&1 || true
first=$(grep -m1 -v '^\s*$' "$WORK/help.txt" | sed 's/^ *//')
grep -qF -- "$first" "$WORK/man.txt" || fail "the manual page lacks the help text ($first)"

# The README's command list has every command the help lists, and the README
# names the package script.
commands=$(sed -n '/^Команды:/,/^[^ ]/p' "$WORK/help.txt" | grep -oP '^  \K[a-z]+' | sort -u)
[ -n "$commands" ] || fail "no commands in clbtool --help"
for c in $commands; do
  grep -qE "^  $c( |\$)" "$SOURCE/README.md" || fail "the README's command list lacks clbtool $c"
done
grep -q 'scripts/package' "$SOURCE/README.md" || fail "the README does not name scripts/package"

# The installed clbtool against the installed simulator, as a user with a home of its own.
mkdir -p "$WORK/home"
"$R/usr/bin/metersim" --scenario "$SOURCE/tests/data/demo-two-meters.json" --link "$WORK/tty" > "$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 100); do grep -q READY "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q READY "$WORK/sim.out" || fail "the simulator did not start: $(cat "$WORK/sim.out")"
# The leak suppressions of a sanitizer build reach the program in its clean environment.
LSAN_ENV=()
if [ -n "${LSAN_OPTIONS:-}" ]; then LSAN_ENV=("LSAN_OPTIONS=$LSAN_OPTIONS"); fi
env -i PATH=/usr/bin:/bin "${LSAN_ENV[@]}" HOME="$WORK/home" "$R/usr/bin/clbtool" --port "$WORK/tty" --slot 1:1:1 --slot 5:2:2 --json read \
  > "$WORK/read.json" 2> "$WORK/read.err" || { cat "$WORK/read.err"; fail "clbtool read"; }
python3 - "$WORK/read.json" <<'PY' || fail "the read-out"
import json, sys
d = json.load(open(sys.argv[1]))
slots = d["slots"] if isinstance(d, dict) else d
assert len(slots) == 2, d
PY
# Printing: clbtool links no Qt and loads its printing module from the package
# when a command prints; without the module the sheet is refused, in Russian.
! ldd "$R/usr/bin/clbtool" | grep -q 'libQt6' || fail "clbtool links Qt: $(ldd "$R/usr/bin/clbtool" | grep libQt6)"
env -i PATH=/usr/bin:/bin "${LSAN_ENV[@]}" HOME="$WORK/home" "$R/usr/bin/clbtool" --port "$WORK/tty" --slot 1:1:1 sheet "$WORK/sheet.pdf" \
  > "$WORK/sheet.out" 2> "$WORK/sheet.err" || { cat "$WORK/sheet.err"; fail "clbtool sheet"; }
[ "$(head -c 5 "$WORK/sheet.pdf")" = "%PDF-" ] || fail "clbtool sheet wrote no PDF"
mv "$R/usr/lib/clbtool/libclbprint.so" "$WORK/libclbprint.so"
status=0
env -i PATH=/usr/bin:/bin "${LSAN_ENV[@]}" HOME="$WORK/home" "$R/usr/bin/clbtool" --port "$WORK/tty" --slot 1:1:1 sheet "$WORK/none.pdf" \
  > "$WORK/none.out" 2> "$WORK/none.err" || status=$?
[ "$status" = 2 ] && grep -q "Печать недоступна: библиотека печати libclbprint.so не найдена" "$WORK/none.err" \
  || { cat "$WORK/none.err"; fail "clbtool sheet without its printing module (status $status)"; }
mv "$WORK/libclbprint.so" "$R/usr/lib/clbtool/libclbprint.so"
[ -d "$WORK/home/.local/share/clbtool/saved" ] || fail "the folders are not under the user's data folder"
[ ! -e "$R/usr/bin/clbtool.ini" ] && [ ! -e "$R/usr/bin/config" ] || fail "files were made beside the installed program"
echo "package ok: $(basename "$DEB")"
