#!/bin/sh
# Installs the build tree into a temporary prefix and checks what landed where.
# Usage: checkinstall.sh CMAKE BUILD_DIR
set -u
cmake=$1
build=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/snapvel-install-XXXXXX") || exit 1
trap 'rm -rf "$prefix"' EXIT INT TERM

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

log="$prefix/install.log"
if ! "$cmake" --install "$build" --prefix "$prefix" >"$log" 2>&1; then
    cat "$log"
    echo "FAIL: cmake --install did not succeed (is the snapvel target built?)"
    exit 1
fi

# The program, and what it finds at run time in ../share/snapvel/ beside bin/.
[ -x "$prefix/bin/snapvel" ] || fail "bin/snapvel is missing or not executable"
grep -q '<title>Welcome to Tarvex Snapvel</title>' "$prefix/share/snapvel/welcome.html" 2>/dev/null ||
    fail "share/snapvel/welcome.html is missing"
[ -f "$prefix/bin/welcome.html" ] && fail "the welcome page belongs in share/snapvel/, not bin/"

# The installed program runs from there: without a display it says so.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/snapvel" 2>&1)
[ $? -eq 2 ] && printf '%s\n' "$out" | grep -q 'no display' ||
    fail "the installed program did not start: $out"

# Asked for help or its version, it answers without a display or a window.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/snapvel" --help 2>&1)
[ $? -eq 0 ] && printf '%s\n' "$out" | grep -q 'snapvel capture --help' ||
    fail "snapvel --help did not show the help: $out"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/snapvel" --version 2>&1)
[ $? -eq 0 ] && printf '%s\n' "$out" | grep -Eq '^snapvel [0-9]+\.[0-9]+' ||
    fail "snapvel --version did not show the version: $out"

# Started in a folder holding files named like its libraries, the built and
# the installed program still load the system's, never those.
decoys="$prefix/decoys"
mkdir -p "$decoys"
for library in libQt6Widgets.so.6 libQt6Gui.so.6 libQt6Core.so.6 libz.so.1; do
    echo 'not a library' >"$decoys/$library"
done
for program in "$build/src/snapvel" "$prefix/bin/snapvel"; do
    out=$(cd "$decoys" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" 2>&1)
    [ $? -eq 2 ] && printf '%s\n' "$out" | grep -q 'no display' ||
        fail "$program, started among decoy libraries, did not run: $out"
done

# Width and height from a PNG's header, as "WxH".
png_size() {
    [ "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 89504e470d0a1a0a ] || return 1
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'
}

for size in 16 32 48 64 128 256 512; do
    icon="$prefix/share/icons/hicolor/${size}x${size}/apps/snapvel.png"
    got=$(png_size "$icon" 2>/dev/null)
    [ "$got" = "${size}x${size}" ] || fail "$icon: expected a ${size}x${size} PNG, got '${got:-nothing}'"
done
got=$(png_size "$prefix/share/snapvel/snapvel.png" 2>/dev/null)
[ -n "$got" ] || fail "share/snapvel/snapvel.png is missing or not a PNG"

entry="$prefix/share/applications/snapvel.desktop"
if [ ! -f "$entry" ]; then
    fail "share/applications/snapvel.desktop is missing"
else
    for line in 'Type=Application' 'Name=Tarvex Snapvel' 'Exec=snapvel %u' 'Icon=snapvel' \
        'Categories=Graphics;Utility;'; do
        grep -qxF "$line" "$entry" || fail "desktop entry lacks '$line'"
    done
    grep -q '^Comment=.' "$entry" || fail "desktop entry has no comment"
    # The program is no web browser: it handles no types of its own.
    grep -q '^MimeType' "$entry" && fail "desktop entry registers MIME types"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"
    else
        echo "note: desktop-file-validate is not installed; the entry was not validated"
    fi
fi

[ "$failures" -eq 0 ] || exit 1
echo "installed layout is complete"
