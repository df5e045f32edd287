#!/usr/bin/env bash
# Builds everything and runs all tests: bash scripts/test.sh
# BUILD_DIR (default build) and CMAKE_ARGS (e.g. -DVANTREL_SANITIZE=ON) choose another build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -DVANTREL_WERROR=ON -DVANTREL_TESTS=ON ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
