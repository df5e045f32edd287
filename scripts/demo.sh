#!/usr/bin/env bash
# The main job on a simulated board: builds if needed, then shows the help
# until the simulated board is available.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target vantrel >/dev/null
./build/vantrel -h
