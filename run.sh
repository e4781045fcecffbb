#!/usr/bin/env bash
# Sets up, builds, and starts the console from build/bin on the demo configuration.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
# Lets ccache reuse objects built with precompiled headers.
export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs"

if [ ! -x build/bin/opsdesk ]; then
  echo " - The console is not built yet. What there is to run:"
  echo "   tests:      ctest --test-dir build"
  for t in build/tests/*; do [ -x "$t" ] && echo "               $t"; done
  for b in build/bench/*; do [ -x "$b" ] && echo "   benchmark:  $b"; done
  exit 0
fi

cd build/bin
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo " - No display: starting under a virtual one (xvfb-run)"
  exec xvfb-run -a -s "-screen 0 1280x800x24" ./opsdesk "$@"
fi
exec ./opsdesk "$@"
