#!/usr/bin/env bash
# The main job on a simulated board: builds if needed, starts orlik-sim, flashes
# the sample container with the sample loader exactly as on a bench, and
# compares the simulated flash with the images.
#   bash scripts/demo.sh [extra vantrel options, e.g. -b 56]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
    echo "demo: needs cmake and g++ (apt-get install -y cmake g++)" >&2
    exit 2
fi
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target vantrel orlik-sim sample >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-demo.XXXXXX")
board=0
cleanup() {
    [ "$board" -ne 0 ] && kill "$board" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

build/orlik-sim --link "$work/orlik0" --flash "$work/flash.bin" --idle 10 --timeout 600 \
    >"$work/board.txt" 2>&1 &
board=$!
for _ in $(seq 100); do [ -e "$work/orlik0" ] && break; sleep 0.05; done

echo "\$ vantrel -c $work/orlik0 -p loadbios.com -d bios.bin $*"
status=0
(cd build/sample && ../vantrel -c "$work/orlik0" -p loadbios.com -d bios.bin "$@" </dev/null) || status=$?
wait "$board" || true
board=0
echo
echo "--- the simulated board:"
cat "$work/board.txt"
echo "--- vantrel exit code: $status"
if [ "$status" -eq 0 ] && cmp -s "$work/flash.bin" build/sample/expected-flash.bin; then
    echo "demo: the simulated flash holds exactly the three images of bios.bin"
else
    echo "demo: the simulated flash does NOT match the images" >&2
    exit 1
fi
