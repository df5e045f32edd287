#!/usr/bin/env bash
# Builds everything and runs all tests: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DVANTREL_WERROR="${VANTREL_WERROR:-ON}" >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 --timeout 600
