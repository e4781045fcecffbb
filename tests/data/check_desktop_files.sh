#!/usr/bin/env bash
# Installs the tree as a package would (DESTDIR, prefix /usr) and checks the
# desktop entry, icons, AppStream data, service unit and man pages with the
# tools the desktops and distributions use themselves.
# Usage: check_desktop_files.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1 source=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Runs a checker; any diagnostic counts, since several exit 0 on warnings.
quiet() {
  local out
  out=$("$@" 2>&1) || { fail "$* exited $?: $out"; return; }
  [ -z "$out" ] || fail "$*: $out"
}

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: install"; exit 1; }
id=org.plexord.Opsdesk
usr=$root/usr

# The entry must start the installed console in its bin folder, without the
# staging root leaking into the paths.
entry=$usr/share/applications/$id.desktop
quiet desktop-file-validate "$entry"
grep -qx 'Path=/usr/bin' "$entry" || fail "Path in $entry: $(grep ^Path= "$entry")"
grep -qx 'Exec=/usr/bin/opsdesk' "$entry" || fail "Exec in $entry: $(grep ^Exec= "$entry")"
[ -x "$usr/bin/opsdesk" ] || fail "no installed console at /usr/bin/opsdesk"
grep -q '^Name\[sv\]=' "$entry" && grep -q '^Comment\[sv\]=' "$entry" || fail "no Swedish name or comment"
icon=$(sed -n 's/^Icon=//p' "$entry")

for size in 16 32 48 64 128 256; do
  png=$usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
  dims=$(/usr/bin/python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read(24)
assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
print("%dx%d" % struct.unpack(">II", data[16:24]))' "$png" 2>/dev/null)
  [ "$dims" = "${size}x${size}" ] || fail "icon $png: '${dims:-missing or not a PNG}'"
done

meta=$usr/share/metainfo/$id.metainfo.xml
appstreamcli validate --no-net "$meta" >/dev/null 2>&1 || fail "$(appstreamcli validate --no-net "$meta" 2>&1)"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$meta" || fail "launchable is not $id.desktop"

# Man pages: no troff diagnostics, and every option the programs read is there.
for page in opsdesk plexord-server; do
  file=$usr/share/man/man1/$page.1
  [ -f "$file" ] || { fail "no man page $file"; continue; }
  quiet groff -man -z -ww -b "$file"
  warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done
server_options=$("$build/bin/plexord-server" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
console_options=$(grep -o 'arg == "--[a-z-]*"' "$source/opsdesk/src/startup.cpp" | grep -o -- '--[a-z-]*' | sort -u)
[ -n "$server_options" ] && [ -n "$console_options" ] || fail "no options found to check"
for option in $server_options; do
  grep -qF -- "${option//-/\\-}" "$usr/share/man/man1/plexord-server.1" || fail "plexord-server(1) lacks $option"
done
for option in $console_options; do
  grep -qF -- "${option//-/\\-}" "$usr/share/man/man1/opsdesk.1" || fail "opsdesk(1) lacks $option"
done

# The unit as packaged, then verified in a tree installed under a plain
# prefix, where the binary and man page it names exist for systemd to check.
unit=$usr/lib/systemd/system/plexord-server.service
grep -qx 'ExecStart=/usr/bin/plexord-server --config %S/plexord' "$unit" || fail "ExecStart: $(grep ^ExecStart= "$unit")"
grep -qx 'WorkingDirectory=/usr/bin' "$unit" || fail "WorkingDirectory: $(grep ^WorkingDirectory= "$unit")"
prefix=$root/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "install under $prefix"
unit=$prefix/lib/systemd/system/plexord-server.service
grep -qx "WorkingDirectory=$prefix/bin" "$unit" || fail "WorkingDirectory: $(grep ^WorkingDirectory= "$unit")"
grep -qx "Path=$prefix/bin" "$prefix/share/applications/$id.desktop" || fail "Path under $prefix"
quiet env MANPATH="$prefix/share/man" systemd-analyze verify "$unit"

[ "$failures" -eq 0 ] && echo "all desktop files check out"
exit $((failures > 0))
