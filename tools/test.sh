#!/usr/bin/env bash
# Builds corvane and runs every test twice: in a normal build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

run_suite() {
  local dir=$1; shift
  echo "== build ${dir} $*"
  cmake -S . -B "$dir" -G Ninja -DCORVANE_WERROR=ON -DCORVANE_TESTS=ON "$@" >/dev/null
  ninja -C "$dir"
  echo "== test ${dir}"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300)
}

run_suite build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
