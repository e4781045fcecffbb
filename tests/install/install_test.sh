#!/bin/sh
# Installs the build into a scratch prefix and checks the installed tree: its
# layout, that its programs find their libraries and plug-ins, that the
# headless server starts from it as a system-wide installation, and that
# programs build against it with nothing but pkg-config's flags.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -u
build=$1 source=$2 work=$3
prefix=$work/prefix
status=0
fail() { echo " ! $*" >&2; status=1; }

rm -rf "$work" && mkdir -p "$work" || exit 1
"${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }

libdir=$(cd "$prefix" && for d in lib lib/*-linux-gnu; do [ -e "$d/libbuslink.so" ] && echo "$d"; done | head -n 1)
[ -n "$libdir" ] || { echo " ! libbuslink.so not installed" >&2; exit 1; }
for f in bin/opsdesk bin/plexord-server \
         "$libdir/libbuslink.so" "$libdir/libwidgetkit.so" "$libdir/libplexord.so" "$libdir/libbasekit.so" \
         "$libdir/plexord/plugins/db.so" "$libdir/pkgconfig/buslink.pc" "$libdir/pkgconfig/widgetkit.pc" \
         share/plexord/images/plexord.png share/locale/sv/LC_MESSAGES/opsdesk.mo \
         include/plexord/buslink.h include/plexord/plexord.h include/plexord/basekit.h \
         include/plexord/plexord_plugin.h include/plexord/widgetkit/functions.h; do
    [ -e "$prefix/$f" ] || fail "missing $f"
done

# The programs find the installed libraries by their own RPATH.
unset LD_LIBRARY_PATH
"$prefix/bin/plexord-server" --version >"$work/version.out" 2>&1 || fail "installed server does not run: $(cat "$work/version.out")"

# Started in the installed bin/, the server takes its folders from the tree
# and the user's configuration folder, which it creates.
xdg=$work/xdg
(cd "$prefix/bin" && XDG_CONFIG_HOME=$xdg exec ./plexord-server --listen 127.0.0.1:0) >"$work/server.out" 2>"$work/server.err" &
pid=$!
tries=0
until grep -q "Listening for remote clients" "$work/server.out" || [ $tries -ge 300 ] || ! kill -0 $pid 2>/dev/null; do
    sleep 0.1
    tries=$((tries + 1))
done
kill -TERM $pid 2>/dev/null
wait $pid
server_status=$?
[ $server_status -eq 0 ] || fail "installed server ended with $server_status: $(cat "$work/server.err")"
for line in " - System wide installaton (parent directory has a 'share' directory)" \
            " - Configuration directory: $xdg/plexord" \
            " - Data directory: $prefix/share/plexord" \
            " - Plug-in directory: $prefix/$libdir/plexord/plugins" \
            " - Locale directory: $prefix/share/locale"; do
    grep -qxF "$line" "$work/server.out" || fail "server did not print '$line'"
done
# Plug-ins from the tree, the demo plant from its data, the configuration
# saved at stop in the created folder.
for line in " \* Loaded plug-in db.so (db)" " \* No configuration in $xdg/plexord: started the demo plant" \
            " \* Listening for remote clients on "; do
    grep -q "^$line" "$work/server.out" || fail "server did not print '$line'"
done
[ -f "$xdg/plexord/plexord.ini" ] || fail "configuration not saved in $xdg/plexord"

# Users' programs: only pkg-config's flags; the loader is told where the tree is.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
export LD_LIBRARY_PATH="$prefix/$libdir"
if cc -o "$work/buslink_user" "$source/buslink_user.c" $(pkg-config --cflags --libs buslink); then
    "$work/buslink_user" || fail "buslink program failed"
else
    fail "buslink program does not build"
fi
if c++ -o "$work/widgetkit_user" "$source/widgetkit_user.cpp" $(pkg-config --cflags --libs widgetkit); then
    env -u DISPLAY -u WAYLAND_DISPLAY "$work/widgetkit_user" || fail "widgetkit program failed"
else
    fail "widgetkit program does not build"
fi
exit $status
