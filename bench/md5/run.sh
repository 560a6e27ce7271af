#!/bin/bash
# Prints the package-verification figures:
#   1. md5_append throughput on 1 KiB and 1 MiB against OpenSSL (ratio lines);
#   2. instructions per byte of one whole ParseFile over a 4 MiB package
#      (valgrind callgrind, counted inside ParseFile only);
#   3. peak resident memory of parsing a 1 MiB and a 1 GiB package.
# Usage: run.sh BENCH_BIN_DIR   (the folder holding bench_md5 and bench_parse,
# best from the release preset). Packages are made sparse in a temp dir.
set -euo pipefail

bin=${1:?usage: run.sh BENCH_BIN_DIR}
work=$(mktemp -d /tmp/qx-bench-md5.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== md5_append vs OpenSSL MD5"
"$bin/bench_md5" --benchmark_min_time=0.5

echo "== instructions per byte of ParseFile (callgrind)"
bytes=$((4 * 1024 * 1024))
"$bin/bench_parse" make "$work/ud4m" "$bytes"
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
  --toggle-collect='qx::upgradeFile::UpgradeFile::ParseFile(std::*' \
  "$bin/bench_parse" parse "$work/ud4m" >/dev/null 2>"$work/valgrind.log"
total=$(callgrind_annotate "$work/callgrind.out" 2>/dev/null |
  awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }')
pkgsize=$((bytes + 256))
awk -v ir="$total" -v n="$pkgsize" \
  'BEGIN { printf "ParseFile: %d instructions over %d bytes = %.2f instructions/byte\n", ir, n, ir / n }'

echo "== peak memory of ParseFile by package size"
"$bin/bench_parse" make "$work/ud1m" $((1024 * 1024))
"$bin/bench_parse" make "$work/ud1g" $((1024 * 1024 * 1024))
small=$("$bin/bench_parse" parse "$work/ud1m")
large=$("$bin/bench_parse" parse "$work/ud1g")
echo "$small"
echo "$large"
kib() { sed -n 's/.*peak resident \([0-9]*\) KiB/\1/p' <<<"$1"; }
echo "peak difference 1 GiB - 1 MiB: $(($(kib "$large") - $(kib "$small"))) KiB"
