#!/usr/bin/env bash
# Bounded fuzz run of the package reader.
# Usage: fuzz/run.sh [SECONDS]   (default 60)
#        QX_FUZZ_RUNS=N fuzz/run.sh SECONDS   (also stops after N executions)
# Own clang build (build/fuzz or $QX_FUZZ_BUILD_DIR) with ASan, UBSan and
# libFuzzer; the corpus is kept there between runs, findings go to
# <build>/fuzz/artifacts/ and make the script exit non-zero.
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [[ $seconds -lt 1 ]]; then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi
runs=${QX_FUZZ_RUNS:--1}
if ! [[ $runs =~ ^(-1|[0-9]+)$ ]]; then
    echo "$0: QX_FUZZ_RUNS must be a number of executions" >&2
    exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QX_FUZZ_BUILD_DIR:-$root/build/fuzz}

# Warnings stay warnings here: the run looks for crashes, and clang warns
# about other things than the dev build's compiler.
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQX_BUILD_FUZZ=ON -DQX_BUILD_TESTS=OFF -DQX_SANITIZE=ON -DQX_WERROR=OFF >/dev/null
cmake --build "$build" -j2 --target reader_fuzzer mkupgrade

fuzzer=$build/fuzz/reader_fuzzer
seeds=$build/fuzz/seeds
corpus=$build/fuzz/corpus
artifacts=$build/fuzz/artifacts
rm -rf "$seeds"
mkdir -p "$corpus" "$artifacts"
# Every input is written out as a package file: keep that in memory.
if [[ -d /dev/shm && -w /dev/shm ]]; then
    scratch=$(mktemp -d /dev/shm/qx-reader-fuzz-XXXXXX)
else
    scratch=$(mktemp -d "$build/fuzz/tmp-XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
"$root/fuzz/make_corpus.sh" "$build/tools/mkupgrade/mkupgrade" "$seeds"

# A hard limit backs up -max_total_time in case an input hangs past -timeout.
log=$build/fuzz/last-run.log
status=0
TMPDIR=$scratch timeout --kill-after=10 $((seconds + 60)) \
    "$fuzzer" -max_total_time="$seconds" -runs="$runs" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 ||
    status=$?
if [[ $status -ne 0 ]]; then
    tail -n 60 "$log" >&2
    echo "fuzz/run.sh: reader_fuzzer failed with status $status; findings in $artifacts," \
        "full output in $log" >&2
else
    grep -E '^(Done|stat::)' "$log" || true
    echo "fuzz/run.sh: no findings; corpus $corpus, output in $log"
fi
exit $status
