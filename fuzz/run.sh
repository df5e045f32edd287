#!/usr/bin/env bash
# Builds and runs one libFuzzer target for a given time:
#   fuzz/run.sh TARGET SECONDS        e.g. fuzz/run.sh fuzz_container 60
# The build goes to build-fuzz/ in the repository root (configured on first use). The seed corpus
# comes from build-fuzz/TARGET_seeds when the target has one (see add_fuzz_seeds), and from
# fuzz/seeds/TARGET/ when that folder exists. The working corpus, log and any crash inputs live
# in a temporary folder, removed after a clean run and kept (its path printed) after a finding.
# Exit status: 0 for a clean run, 1 for a crash or sanitizer report, 2 for a usage or build error.
set -euo pipefail

if [[ $# -ne 2 || ! $2 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 TARGET SECONDS" >&2
    exit 2
fi
target=$1
seconds=$2

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-fuzz
compiler=${FUZZ_CXX:-clang++}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" >/dev/null || exit 2
fi
cmake --build "$build" -j2 --target "$target" || exit 2

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-$target.XXXXXX")
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"
if [[ -x $build/${target}_seeds ]]; then
    "$build/${target}_seeds" "$work/seeds" || exit 2
fi
if [[ -d $root/fuzz/seeds/$target ]]; then
    cp -r "$root/fuzz/seeds/$target/." "$work/seeds/"
fi

# One process only (no -jobs/-workers). UBSan findings abort (built with
# -fno-sanitize-recover); the log is also searched in case a report did not end the run.
status=0
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds" 2>&1 |
    tee "$work/fuzz.log" || status=$?

if [[ $status -ne 0 ]] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' \
    "$work/fuzz.log" || [[ -n $(ls -A "$work/artifacts") ]]; then
    echo "run.sh: $target: finding (exit status $status); log, corpus and crash inputs in $work" >&2
    exit 1
fi
grep -E 'stat::number_of_executed_units' "$work/fuzz.log" || true
rm -rf "$work"
