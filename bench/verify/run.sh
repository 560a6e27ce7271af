#!/usr/bin/env bash
# Verification benchmark: times `upgrade-inspect verify` against md5sum on
# the same 256 MiB package, alternating, and reports the median ratio; counts
# the read() calls of verify with strace; splits verify's time into reading
# (1024-byte read() calls alone) and digesting (the device MD5 on memory).
#
# Usage: bench/verify/run.sh [BUILD_DIR]
#   BUILD_DIR  a configured release build (QX_BUILD_BENCH=ON) holding the
#              tools; without it the release preset is configured and built
#              in build/bench-verify.
# Also compares, side by side in the same run, `verify --key` with md5sum
# and sha256sum run one after the other, and `extract` of the largest inner
# file with md5sum of the package.
# Environment: QX_BENCH_REPS (default 9, at least 9), QX_BENCH_MIB (package
# size, default 256; 1024 for 1 GiB), TMPDIR (where the package and its
# inputs are made; needs about 3 times the package size).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
reps=${QX_BENCH_REPS:-9}
if ! [[ $reps =~ ^[0-9]+$ ]] || [[ $reps -lt 9 ]]; then
    echo "bench/verify/run.sh: QX_BENCH_REPS must be at least 9" >&2
    exit 2
fi

if [[ $# -ge 1 ]]; then
    build=$1
else
    build=$root/build/bench-verify
    cmake --preset release -S "$root" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target mkupgrade upgrade-inspect bench_read_1k bench_md5_memory
fi
mkupgrade=$build/tools/mkupgrade/mkupgrade
inspect=$build/tools/inspect/upgrade-inspect
read1k=$build/bench/verify/bench_read_1k
md5mem=$build/bench/verify/bench_md5_memory
for tool in "$mkupgrade" "$inspect" "$read1k" "$md5mem"; do
    [[ -x $tool ]] || { echo "bench/verify/run.sh: missing $tool" >&2; exit 1; }
done
for tool in md5sum strace awk; do
    command -v "$tool" >/dev/null || { echo "bench/verify/run.sh: needs $tool" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qx-bench-verify-XXXXXX")
trap 'rm -rf "$work"' EXIT

# A package laid out as the device expects it, exactly 256 MiB long: five
# inner files (two small ones, a 1 MiB validator, a 4 MiB kernel image, the
# database filling the rest) behind six 128-byte headers.
package_size=$((${QX_BENCH_MIB:-256} * 1024 * 1024))
sizes=(1024 1024 $((1024 * 1024)) $((4 * 1024 * 1024)))
rest=$((package_size - 6 * 128))
for size in "${sizes[@]}"; do rest=$((rest - size)); done
sizes+=("$rest")
inputs=()
for i in "${!sizes[@]}"; do
    head -c "${sizes[$i]}" /dev/urandom > "$work/in$i"
    inputs+=("$work/in$i")
done
"$mkupgrade" --package-version 5 --upgrade-name "bench" --release-name R5 --file-date 20261206 \
    --upgrade-id 1 -o "$work/package.bin" "${inputs[@]}"
rm -f "${inputs[@]}"
actual_size=$(stat -c %s "$work/package.bin")
[[ $actual_size -eq $package_size ]] || { echo "package is $actual_size bytes" >&2; exit 1; }

now() { echo "$EPOCHREALTIME"; }
elapsed() {  # START END -> seconds
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'
}
median() {  # values...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) { printf "%.4f", v[(NR + 1) / 2] } else { printf "%.4f", (v[NR / 2] + v[NR / 2 + 1]) / 2 } }'
}
time_once() {  # command... -> seconds on stdout
    local start end
    start=$(now)
    "$@" >/dev/null
    end=$(now)
    elapsed "$start" "$end"
}

# Warm the page cache and both programs once, then alternate.
sha=$(command -v sha256sum)
"$mkupgrade" --generate-key "$work/team" >/dev/null
"$mkupgrade" --package-version 5 --upgrade-name "bench" --release-name R5 --file-date 20261206 \
    --upgrade-id 1 --sign "$work/team.key" -o "$work/signed.bin" "$work/package.bin" 2>/dev/null ||
    cp "$work/package.bin" "$work/signed.bin"
both() { md5sum "$1" && "$sha" "$1"; }
last=$((${#sizes[@]} - 1))
# One side-by-side comparison: NAME, then the two commands as words joined by '|'.
compare() {  # name reference-function tool-function -> "name: median ratio (ref s, tool s)"
    local name=$1 ref=$2 tool=$3 r t rs=() ts=() qs=()
    "$ref" >/dev/null; "$tool" >/dev/null
    for ((i = 1; i <= reps; i++)); do
        # What a repetition leaves (extract's OUT) goes before the timing.
        ! declare -F "${tool}_setup" >/dev/null || "${tool}_setup"
        r=$(time_once "$ref"); t=$(time_once "$tool")
        rs+=("$r"); ts+=("$t"); qs+=("$(awk -v t="$t" -v r="$r" 'BEGIN { printf "%.4f", t / r }')")
    done
    echo "$name: median ratio $(median "${qs[@]}") ($(median "${rs[@]}") s vs $(median "${ts[@]}") s)"
}
ref_md5() { md5sum "$work/package.bin"; }
ref_both() { both "$work/signed.bin"; }
tool_verify() { "$inspect" verify "$work/package.bin"; }
tool_verify_key() { "$inspect" verify --key "$work/team.pub" "$work/signed.bin"; }
tool_extract_setup() { rm -f "$work/out"; }
tool_extract() { "$inspect" extract "$work/package.bin" "$last" "$work/out"; }
compare "verify / md5sum (target <= 1.15)" ref_md5 tool_verify
compare "verify --key / (md5sum; sha256sum) (target <= 1.0)" ref_both tool_verify_key
compare "extract of inner file $last / md5sum of the package (target <= 1.2)" ref_md5 tool_extract
rm -f "$work/out" "$work/signed.bin"
md5sum "$work/package.bin" >/dev/null
"$inspect" verify "$work/package.bin" >/dev/null
md5_times=()
verify_times=()
ratios=()
for ((i = 1; i <= reps; i++)); do
    m=$(time_once md5sum "$work/package.bin")
    v=$(time_once "$inspect" verify "$work/package.bin")
    md5_times+=("$m")
    verify_times+=("$v")
    ratios+=("$(awk -v v="$v" -v m="$m" 'BEGIN { printf "%.4f", v / m }')")
done

# Breakdown: the read pattern alone, and the digest alone.
read_times=()
digest_times=()
for ((i = 1; i <= 5; i++)); do
    read_times+=("$(time_once "$read1k" "$work/package.bin")")
    digest_times+=("$("$md5mem" "$package_size" | awk '{ print $1 }')")
done

# read() calls: one per 64 KiB of data plus one per header is the
# reader's own pattern; the rest is the program loader's.
strace -f -c -e trace=read -o "$work/strace.txt" "$inspect" verify "$work/package.bin" >/dev/null
reads=$(awk '$NF == "read" { print $4; exit }' "$work/strace.txt")
expected=1
for size in "${sizes[@]}"; do expected=$((expected + 1 + (size + 65535) / 65536)); done

md5_median=$(median "${md5_times[@]}")
verify_median=$(median "${verify_times[@]}")
ratio_median=$(median "${ratios[@]}")
read_median=$(median "${read_times[@]}")
digest_median=$(median "${digest_times[@]}")
mib=${QX_BENCH_MIB:-256}
echo "machine:          $(lscpu 2>/dev/null | awk -F: '/Model name/ { gsub(/^ +/, "", $2); print $2; exit }'), $(nproc) cores, $(uname -sr)"
echo "package:          $actual_size bytes, ${#sizes[@]} inner files, page cache warm"
echo "repetitions:      $reps, alternating md5sum / upgrade-inspect verify"
echo "md5sum:           median ${md5_median} s ($(awk -v t="$md5_median" -v m=$mib 'BEGIN { printf "%.0f", m / t }') MiB/s)"
echo "verify:           median ${verify_median} s ($(awk -v t="$verify_median" -v m=$mib 'BEGIN { printf "%.0f", m / t }') MiB/s)"
echo "ratio:            median ${ratio_median} (per-repetition verify/md5sum; target <= 1.8)"
echo "ratios:           ${ratios[*]}"
echo "read() calls:     $reads (reader's pattern $expected = 1 per 64 KiB of data + 1 per header; constant $((reads - expected)))"
echo "where time goes:  1 KiB reads alone ${read_median} s ($(awk -v r="$read_median" -v v="$verify_median" 'BEGIN { printf "%.0f", 100 * r / v }')% of verify)," \
    "MD5 in memory ${digest_median} s ($(awk -v d="$digest_median" -v v="$verify_median" 'BEGIN { printf "%.0f", 100 * d / v }')%)," \
    "rest $(awk -v r="$read_median" -v d="$digest_median" -v v="$verify_median" 'BEGIN { printf "%.4f", v - r - d }') s"
echo "floor:            reads + digest = $(awk -v r="$read_median" -v d="$digest_median" -v m="$md5_median" 'BEGIN { printf "%.2f", (r + d) / m }') x md5sum"
