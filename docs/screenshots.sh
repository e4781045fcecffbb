#!/usr/bin/env bash
# Renews the user guide's pictures: starts the built console on a scratch copy
# of the demo plant under a private X server, drives it with xdotool and
# captures each window with ImageMagick into docs/images/.
#
#   docs/screenshots.sh [BUILD_DIR]      (default: build; also $BUILD_DIR)
#
# Needs Xvfb, xdotool and ImageMagick (scripts/setup.sh installs them). Run it
# again whenever a window changes. Menus are driven by their keys; inside
# dialogs some clicks go to places of today's layouts: when a window is
# rearranged, a step that then misses fails with the window it waited for.
# Set KEEP_SCRATCH=1 to keep the scratch folder.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-${BUILD_DIR:-build}}
case $build in /*) ;; *) build=$repo/$build ;; esac
images=$here/images
console=$build/bin/opsdesk
timeout_s=${SHOT_TIMEOUT:-15}

for tool in Xvfb xdotool import convert xwininfo; do
  command -v "$tool" >/dev/null || { echo " ! $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -x "$console" ] || { echo " ! $console is not built" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/plexord-shots.XXXXXX")
xvfb_pid=
console_pid=

cleanup() {
  local status=$?
  set +e
  if [ -n "$console_pid" ] && kill -0 "$console_pid" 2>/dev/null; then
    kill -TERM "$console_pid" 2>/dev/null
    # The console saves and closes its windows on SIGTERM; a hung one is killed.
    for _ in $(seq 50); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$console_pid" 2>/dev/null
    wait "$console_pid" 2>/dev/null
  fi
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if [ $status -ne 0 ]; then
    echo " ! Failed (status $status); the console's output follows" >&2
    tail -n 30 "$scratch/console.log" >&2 2>/dev/null
  fi
  [ "${backup_dir:-}" = /tmp/plexord-guide ] && rm -rf "$backup_dir"
  [ -n "${KEEP_SCRATCH:-}" ] && echo " - Scratch folder kept: $scratch" || rm -rf "$scratch"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A scratch installation laid out like the build tree, so that the console
# makes its demo configuration (and gui.ini) here and not in the build tree.
mkdir -p "$scratch/bin" "$scratch/home" "$scratch/files"
ln -s "$build/data" "$scratch/data"
ln -s "$build/locale" "$scratch/locale"
ln -s "$build/bin/plugins" "$scratch/bin/plugins"

# A free display: no lock file and no socket. Above the numbers xvfb-run
# takes (99 down); another server may still win the race, so a few are tried.
display=
for n in $(seq 120 199); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    kill -0 "$xvfb_pid" 2>/dev/null || break
    DISPLAY=":$n" xwininfo -root >/dev/null 2>&1 && { display=$n; break; }
    sleep 0.1
  done
  [ -n "$display" ] && break
  kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=
done
[ -n "$display" ] || { echo " ! Xvfb did not start on a free display" >&2; exit 1; }
export DISPLAY=":$display"

export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config GDK_BACKEND=x11 NO_AT_BRIDGE=1
# The file selector keeps its settings in memory, not in dconf.
export GSETTINGS_BACKEND=memory
# Fixed sizes of fonts and widgets, whatever the calling desktop uses.
unset GDK_SCALE GDK_DPI_SCALE GTK_THEME WAYLAND_DISPLAY

# A frame no taller than the demo plant's column needs.
printf '[opsdesk]\nMainFrmLeft=0\nMainFrmTop=0\nMainFrmWidth=420\nMainFrmHeight=330\nMainFrmMaximized=0\n' >"$scratch/gui.ini"

(cd "$scratch/bin" && exec "$console") >"$scratch/console.log" 2>&1 &
console_pid=$!

# --- helpers ------------------------------------------------------------------

# The id of the visible window whose title is exactly $1, waiting for it.
wait_window() {
  local id
  id=$(timeout "$timeout_s" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
  if [ -z "$id" ]; then
    echo " ! No window \"$1\" within ${timeout_s}s" >&2
    return 1
  fi
  echo "$id"
}

# Waits until no visible window is titled $1.
wait_gone() {
  for _ in $(seq $((timeout_s * 10))); do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  echo " ! Window \"$1\" did not close" >&2
  return 1
}

# Without a window manager focus follows nothing: each window is given it.
focus() {
  xdotool windowraise "$1"
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
  sleep 0.2
}

keys() { xdotool key --delay 60 "$@"; sleep 0.3; }
type_text() { xdotool type --delay 30 "$1"; sleep 0.2; }

# Clicks at x,y inside window $1 (button $4, default left).
click() {
  xdotool mousemove --window "$1" "$2" "$3" click "${4:-1}"
  sleep 0.4
}

# The pointer leaves the window first: no tool tip in the picture.
away() { xdotool mousemove 1279 799; sleep 0.4; }

# Lets the window paint, then saves it as $2.png.
shot() {
  away
  sleep 0.6
  import -window "$1" -strip "png:$out/$2.png"
  echo " - $2.png"
}

# Saves the screen's part x,y,w,h (menus are windows of their own).
shot_area() {
  sleep 0.6
  import -window root -crop "$4x$5+$2+$3" +repage -strip "png:$out/$1.png"
  echo " - $1.png"
}

geometry() { xdotool getwindowgeometry --shell "$1"; }

# The vertical centres of the status window's rows, read off the lamps' dark
# rings in a column near the right edge: networks first, then devices.
status_rows() {
  local w=$1
  eval "$(geometry "$w")"
  # Dark pixels less than 12 apart belong to one lamp, lit or not.
  import -window "$w" -crop "1x$HEIGHT+$((WIDTH - 34))+0" +repage -colorspace gray -depth 8 txt:- |
    awk -F'[,:() ]+' 'NR > 1 && $3 < 200 {
           if (n && $2 - last >= 12) { if (last - first > 6) print int((first + last) / 2); n = 0 }
           if (!n) first = $2
           last = $2; n = 1 }
         END { if (n && last - first > 6) print int((first + last) / 2) }'
}

# Pictures go to the scratch folder first (not "images" there, which would
# make it look like an installation): a run that fails half-way leaves
# docs/images as it was.
out=$scratch/shots
mkdir -p "$out"
main=$(wait_window "Plexor-server")
focus "$main"
# The demo's scheduled task writes the boiler's output every 2 s: the lamps
# have something to show after a moment.
sleep 2.5
shot "$main" status-window

# --- the File menu ------------------------------------------------------------
keys alt+a
shot_area menu-file 0 3 420 140
keys Escape

# --- a device's counters: a left click on its row -----------------------------
mapfile -t rows < <(status_rows "$main")
[ "${#rows[@]}" -ge 5 ] || { echo " ! Expected the demo's network and 4 devices, found ${#rows[@]} rows" >&2; exit 1; }
click "$main" 60 "${rows[1]}"
sleep 2
shot "$main" device-counters
click "$main" 60 "${rows[1]}"

# --- a device's pop-up menu: a right click ---------------------------------------
click "$main" 60 "${rows[1]}" 3
shot_area device-menu 0 3 420 300
keys Escape

# --- networks and devices -------------------------------------------------------
focus "$main"
keys alt+a e
devices=$(wait_window "Enheter")
focus "$devices"
keys Home
shot "$devices" devices
eval "$(geometry "$devices")"; dw=$WIDTH

# A MODBUS/TCP network: its type, then its settings.
click "$devices" $((dw - 50)) 44
types=$(wait_window "Val av nätverkstyp")
focus "$types"
# The list's first row, then down to the seventh type, MODBUS/TCP.
click "$types" 40 45
keys Down Down Down Down Down Down
shot "$types" network-type
keys Return
tcp=$(wait_window "MODBUS/TCP")
focus "$tcp"
# The description and the address of the controller, then Cancel: the scratch
# plant keeps no network that reaches nothing.
click "$tcp" 200 22
keys ctrl+a
type_text "Packing line"
keys Tab ctrl+a
type_text "192.168.10.20"
shot "$tcp" network-modbus-tcp
keys Escape
wait_gone "MODBUS/TCP"

# A MODBUS/RTU network on a serial line: the sixth type.
focus "$devices"
click "$devices" $((dw - 50)) 44
types=$(wait_window "Val av nätverkstyp")
focus "$types"
click "$types" 40 45
keys Down Down Down Down Down Return
rtu=$(wait_window "MODBUS/RTU")
focus "$rtu"
shot "$rtu" network-modbus-rtu
keys Escape
wait_gone "MODBUS/RTU"

# The demo plant's own network: first row of the network list, then Edit.
focus "$devices"
click "$devices" 40 40
click "$devices" $((dw - 50)) 120
db=$(wait_window "Databas")
focus "$db"
shot "$db" network-db
keys Escape
wait_gone "Databas"

# The boiler's settings: first row of the device list, then Edit.
focus "$devices"
click "$devices" 40 181
click "$devices" $((dw - 50)) 261
setup=$(wait_window "Enhetsinställningar")
focus "$setup"
shot "$setup" device-setup
keys Escape
wait_gone "Enhetsinställningar"
focus "$devices"
keys Escape
wait_gone "Enheter"

# --- the dataview -----------------------------------------------------------------
focus "$main"
keys alt+v d
dataview=$(wait_window "Datavy")
focus "$dataview"
# Row 1: the boiler's first setpoint, read, then written.
click "$dataview" 70 63
keys Return
click "$dataview" 183 63
type_text "SP1"
keys Return
click "$dataview" 410 63
type_text "66"
keys Return
# Add copies the row above; row 2 reads the process value, row 3 a setpoint
# the boiler does not have.
click "$dataview" 500 101
click "$dataview" 183 101
keys ctrl+a
type_text "PV"
keys Return
click "$dataview" 500 139
click "$dataview" 183 139
keys ctrl+a
type_text "XYZ"
keys Return
shot "$dataview" dataview

# --- the activity log --------------------------------------------------------------
focus "$main"
keys alt+v a
spy=$(wait_window "Aktivitetslogg")
focus "$spy"
# "Enabled", then reads from the dataview beside the scheduler's writes.
click "$spy" 20 307
focus "$dataview"
click "$dataview" 40 20
sleep 2.5
focus "$spy"
shot "$spy" activity-log
# Both stay open till the end; out of the way of the next pictures.
xdotool windowmove "$spy" 1300 0 windowmove "$dataview" 1300 0

# --- a device's pop-up menu: item $2 (1 = "Edit device") of row $1 -----------------
device_menu() {
  focus "$main"
  click "$main" 60 "$1" 3
  local downs=()
  for _ in $(seq "$2"); do downs+=(Down); done
  keys "${downs[@]}" Return
}

# The newest visible window titled $1 (two windows may share a title).
newest_window() {
  timeout "$timeout_s" xdotool search --sync --onlyvisible --name "^$1\$" >/dev/null 2>&1 || true
  xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -n 1
}

# Clicks the bottom-right button of window $1 (OK in this console's dialogs).
click_ok() {
  eval "$(geometry "$1")"
  click "$1" $((WIDTH - 50)) $((HEIGHT - 28))
}

# --- the clock ------------------------------------------------------------------------
device_menu "${rows[1]}" 2
clock=$(wait_window "Ställ tid")
focus "$clock"
shot "$clock" clock
click_ok "$clock"
wait_gone "Ställ tid"

# --- backup -----------------------------------------------------------------------------
# The backup's path shows in two pictures: a short fixed one when it is free.
if mkdir /tmp/plexord-guide 2>/dev/null; then
  backup_dir=/tmp/plexord-guide
else
  backup_dir=$scratch/files
fi
backup_file=$backup_dir/boiler-backup.xml
device_menu "${rows[1]}" 3
backup=$(wait_window "Gör säkerhetskopia")
focus "$backup"
# "...": the file selector, whose name field takes a whole path.
click "$backup" 290 113
chooser=$(wait_window "Välj filnamn att spara säkerhetskopian som")
focus "$chooser"
type_text "$backup_file"
keys Return
wait_gone "Välj filnamn att spara säkerhetskopian som"
focus "$backup"
shot "$backup" backup
# OK: the progress window (titled like the dialog) reads every setpoint.
click_ok "$backup"
sleep 0.5
progress=$(newest_window "Gör säkerhetskopia")
[ "$progress" != "$backup" ] || { echo " ! No backup progress window" >&2; exit 1; }
focus "$progress"
sleep 2
shot "$progress" backup-progress
click_ok "$progress"
wait_gone "Gör säkerhetskopia"
[ -s "$backup_file" ] || { echo " ! The backup file was not written" >&2; exit 1; }

# A setpoint changed since the backup, for the comparison to show: the
# dataview comes back for one write.
xdotool windowmove "$dataview" 600 0
focus "$dataview"
click "$dataview" 410 63
keys ctrl+a
type_text "70"
keys Return
xdotool windowmove "$dataview" 1300 0

# --- restore (compare only) ---------------------------------------------------------------
device_menu "${rows[1]}" 4
chooser=$(wait_window "Välj säkerhetskopia att återställa från")
focus "$chooser"
type_text "$backup_file"
keys Return
restore=$(wait_window "Återställ säkerhetskopia")
focus "$restore"
shot "$restore" restore
# "Compare only", then OK: the device beside the backup.
click "$restore" 36 210
click_ok "$restore"
compare=$(wait_window "Jämför enheten med säkerhetskopian")
focus "$compare"
sleep 2
shot "$compare" restore-compare
click_ok "$compare"
wait_gone "Jämför enheten med säkerhetskopian"
wait_gone "Återställ säkerhetskopia"

# --- the scheduler ---------------------------------------------------------------------------
focus "$main"
keys alt+a c
scheduler=$(wait_window "Schemaläggare")
focus "$scheduler"
shot "$scheduler" scheduler
keys Escape
wait_gone "Schemaläggare"

# --- users -------------------------------------------------------------------------------------
# "Users" shares its key with "Exit": the first item, chosen with Return.
focus "$main"
keys alt+a Return
users=$(wait_window "Användare")
focus "$users"
# Add: the new user's name, password twice and access, then OK.
eval "$(geometry "$users")"
click "$users" $((WIDTH - 52)) 22
user=$(wait_window "Användarinformation")
focus "$user"
type_text "shiftlead"
keys Tab
type_text "secret7"
keys Tab
type_text "secret7"
keys Tab
type_text "*"
keys Tab
type_text "Boiler"
shot "$user" user-edit
click_ok "$user"
wait_gone "Användarinformation"
focus "$users"
shot "$users" users
click_ok "$users"
wait_gone "Användare"

mkdir -p "$images"
rm -f "$images"/*.png
cp "$out"/*.png "$images"/
echo " - Pictures in $images"
