#!/bin/sh
# Builds the Debian package of the build tree, checks its control data and
# contents, unpacks it into a scratch root and starts the console there as
# its desktop entry does, on the display this runs under.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR WORK_DIR VERSION
# Exits 77 (skipped) when cpack or dpkg-deb is missing.
set -u
build=$1 source=$2 work=$3 version=$4
cpack=${CPACK:-cpack}
status=0
fail() { echo " ! $*" >&2; status=1; }

for tool in "$cpack" dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed: no Debian package to test" >&2; exit 77; }
done
rm -rf "$work" && mkdir -p "$work" || exit 1

# Debug output shows dpkg-shlibdeps' warnings, which are faults too.
"$cpack" -G DEB -B "$work" --config "$build/CPackConfig.cmake" -D CPACK_DEBIAN_PACKAGE_DEBUG=ON \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
grep -i "warning" "$work/cpack.log" | grep -v "^CPackDeb Debug: dpkg-shlibdeps warnings *$" >"$work/warnings"
[ -s "$work/warnings" ] && fail "cpack warned: $(cat "$work/warnings")"

deb=$work/plexord_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo " ! no $deb; made: $(ls "$work")" >&2; exit 1; }

dpkg-deb --info "$deb" >"$work/info" || exit 1
for field in "Package: plexord" "Version: $version" "Architecture: " "Maintainer: " "Section: " \
             "Description: " "Depends: " "Recommends: wx3.2-i18n"; do
    grep -q "^ $field" "$work/info" || fail "control lacks '$field'"
done
depends=$(sed -n 's/^ Depends: //p' "$work/info")
for lib in libwxgtk3.2 libwxbase3.2 libxml2 libsodium libc6; do
    case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done
case "$depends" in *plexord*|*buslink*|*basekit*|*widgetkit*) fail "Depends names our own libraries: $depends" ;; esac
# Others' packages built against our libraries learn to depend on this one.
dpkg-deb --info "$deb" shlibs 2>/dev/null | grep -qx "libbuslink ${version%%.*} plexord (>= $version)" ||
    fail "no shlibs entry for libbuslink"

# Only the installed tree, under /usr.
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents" || exit 1
grep -v -e '/$' "$work/contents" | grep -v -E '^/usr/(bin/(opsdesk|plexord-server)|include/plexord/.*|lib/.*|share/(applications|icons|locale|man|metainfo|plexord)/.*)$' \
    >"$work/strays"
[ -s "$work/strays" ] && fail "files outside the installed tree: $(cat "$work/strays")"
root=$work/root
dpkg-deb -x "$deb" "$root" || exit 1
libdir=$(cd "$root/usr" && for d in lib lib/*-linux-gnu; do [ -e "$d/libbuslink.so" ] && echo "$d"; done | head -n 1)
for f in bin/opsdesk bin/plexord-server "$libdir/libbuslink.so" "$libdir/libwidgetkit.so" \
         "$libdir/plexord/plugins/db.so" "$libdir/pkgconfig/buslink.pc" include/plexord/buslink.h \
         share/plexord/images/plexord.png share/locale/sv/LC_MESSAGES/opsdesk.mo \
         share/applications/org.plexord.Opsdesk.desktop share/metainfo/org.plexord.Opsdesk.metainfo.xml \
         share/icons/hicolor/48x48/apps/org.plexord.Opsdesk.png share/man/man1/opsdesk.1 \
         lib/systemd/system/plexord-server.service; do
    [ -e "$root/usr/$f" ] || fail "package lacks /usr/$f"
done
grep -rlF -e "$build" -e "$source" "$root" >"$work/paths"
[ -s "$work/paths" ] && fail "build paths in: $(cat "$work/paths")"

# The console as its menu entry starts it: in Path, Exec's program.
entry=$root/usr/share/applications/org.plexord.Opsdesk.desktop
path=$(sed -n 's/^Path=//p' "$entry") exec=$(sed -n 's/^Exec=//p' "$entry")
[ "$path" = /usr/bin ] && [ "$exec" = /usr/bin/opsdesk ] || fail "entry starts '$exec' in '$path'"
# The frame's title in the package's own Swedish catalogue.
title=$(TEXTDOMAINDIR=$root/usr/share/locale LC_ALL=C.UTF-8 LANGUAGE=sv gettext -d opsdesk "Plexor server")
[ "$title" != "Plexor server" ] || fail "the package's catalogue does not translate the frame's title"
home=$work/home xdg=$work/home/config
mkdir -p "$home"
unset LD_LIBRARY_PATH
(cd "$root$path" && HOME=$home XDG_CONFIG_HOME=$xdg exec "$root$exec") >"$work/console.out" 2>"$work/console.err" &
pid=$!
tries=0
until xdotool search --onlyvisible --pid $pid --name "^$title\$" >/dev/null 2>&1 || [ $tries -ge 300 ] || ! kill -0 $pid 2>/dev/null; do
    sleep 0.1
    tries=$((tries + 1))
done
xdotool search --onlyvisible --pid $pid --name "^$title\$" >/dev/null 2>&1 || fail "no frame '$title' appeared"
kill -TERM $pid 2>/dev/null
wait $pid
console_status=$?
[ $console_status -eq 0 ] || fail "console ended with $console_status: $(cat "$work/console.err")"
for line in " - System wide installaton (parent directory has a 'share' directory)" \
            " - Configuration directory: $xdg/plexord" \
            " - Data directory: $root/usr/share/plexord" \
            " - Plug-in directory: $root/usr/$libdir/plexord/plugins" \
            " - Locale directory: $root/usr/share/locale"; do
    grep -qxF "$line" "$work/console.out" || fail "console did not print '$line'"
done
# A clean close saves the configuration and the frame's place there.
for f in plexord.ini gui.ini; do
    [ -f "$xdg/plexord/$f" ] || fail "$f not saved in $xdg/plexord"
done
exit $status
