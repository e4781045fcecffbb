#!/usr/bin/env bash
# Soak run of the server core against a pymodbus peer that is restarted now
# and then (tests/soak): builds the driver in the plain build, then runs it.
# Not part of ./test.sh. Exit status 0 only when the driver says PASS.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

usage() {
  cat <<'EOF'
usage: scripts/soak.sh [--build DIR] [--minutes N] [driver options]
  --build DIR   plain build folder (default build), configured as ./test.sh does
  --minutes N   length of the run (default 10)
  Other options go to the driver (build/tests/plexord_soak --help), e.g. --seed N
  or --warmup S. SOAK_VERBOSE=1 echoes the core's log on stderr.
EOF
}

build=build
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) args+=("$1") ;;
  esac
  shift
done

/usr/bin/python3 -c 'import pymodbus.server.async_io' 2>/dev/null ||
  { echo " ! /usr/bin/python3 cannot import pymodbus: run scripts/setup.sh" >&2; exit 2; }
if ! cmake -S . -B "$build" -G Ninja >/dev/null ||
   ! cmake --build "$build" -j "$(nproc)" --target plexord_soak >/dev/null; then
  echo " ! build failed" >&2
  exit 2
fi
exec "$build/tests/plexord_soak" "${args[@]}"
