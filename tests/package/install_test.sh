#!/usr/bin/env bash
# The Debian package as a user gets it: packed by CPack from this build,
# unpacked into a fresh root, its desktop entry and manual page checked, and
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
         usr/share/man/man1/clbtool.1; do
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

# The manual page renders without a warning and carries the program's help.
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$R/usr/share/man/man1/clbtool.1" > "$WORK/man.txt" 2> "$WORK/man.err" \
  || fail "man -l: $(cat "$WORK/man.err")"
[ ! -s "$WORK/man.err" ] || { cat "$WORK/man.err"; fail "man -l warned"; }
"$R/usr/bin/clbtool" --help > "$WORK/help.txt" 2>&1 || true
first=$(grep -m1 -v '^\s*$' "$WORK/help.txt" | sed 's/^ *//')
grep -qF -- "$first" "$WORK/man.txt" || fail "the manual page lacks the help text ($first)"

# The installed clbtool against the installed simulator, as a user with a home of its own.
mkdir -p "$WORK/home"
"$R/usr/bin/metersim" --scenario "$SOURCE/tests/data/demo-two-meters.json" --link "$WORK/tty" > "$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 100); do grep -q READY "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q READY "$WORK/sim.out" || fail "the simulator did not start: $(cat "$WORK/sim.out")"
env -i PATH=/usr/bin:/bin HOME="$WORK/home" "$R/usr/bin/clbtool" --port "$WORK/tty" --slot 1:1:1 --slot 5:2:2 --json read \
  > "$WORK/read.json" 2> "$WORK/read.err" || { cat "$WORK/read.err"; fail "clbtool read"; }
python3 - "$WORK/read.json" <<'PY' || fail "the read-out"
import json, sys
d = json.load(open(sys.argv[1]))
slots = d["slots"] if isinstance(d, dict) else d
assert len(slots) == 2, d
PY
[ -d "$WORK/home/.local/share/clbtool/saved" ] || fail "the folders are not under the user's data folder"
[ ! -e "$R/usr/bin/clbtool.ini" ] && [ ! -e "$R/usr/bin/config" ] || fail "files were made beside the installed program"
echo "package ok: $(basename "$DEB")"
