#!/usr/bin/env bash
# Sets up, builds and runs every test: first the non-GUI libraries under
# AddressSanitizer and UndefinedBehaviorSanitizer (with short fuzz runs),
# then the full build. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh || { echo " ! set-up failed" >&2; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)
# Lets ccache reuse objects built with precompiled headers.
export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$jobs}
status=0

echo "== sanitizer build (build-asan) =="
if cmake -S . -B build-asan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
       -DPLEXORD_GUI=OFF -DPLEXORD_SANITIZE=ON -DPLEXORD_FUZZ=ON >/dev/null &&
   cmake --build build-asan -j "$jobs"; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure || status=1
else
  echo " ! sanitizer build failed" >&2
  status=1
fi

echo "== full build (build) =="
if cmake -S . -B build -G Ninja >/dev/null && cmake --build build -j "$jobs"; then
  ctest --test-dir build --output-on-failure || status=1
else
  echo " ! build failed" >&2
  status=1
fi
exit $status
