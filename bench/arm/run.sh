#!/usr/bin/env bash
# Counts the ARM instructions the device programs execute, under emulation as
# the router's CPU (ARM926, sandbox/router-cpu.sh). In single-step mode qemu
# translates one instruction at a time, and "-d exec,nochain" logs every
# translated block each time it runs: one "Trace" line per instruction
# executed, counted as it streams (nothing is stored).
#
#   verification: instructions per byte of `upgrade-inspect verify`, the
#     count for a package with a 256 KiB inner file minus the count for one
#     with a 16-byte inner file, divided by the difference in size; the same
#     for signed packages checked with `--key` (MD5 and SHA-256 in one pass),
#     and the signature check's own count; extraction: what copying an inner
#     file out and checking its bytes again costs on top of the verification;
#   upgrade run: the instructions of the ARM `upgrader` itself during a whole
#     successful upgrade of the demo router (scripts/make-router) in the
#     device sandbox. The programs the device's shell runs for it are host
#     programs there, so only the upgrader's own instructions are counted.
#
# usage: bench/arm/run.sh   (as root; builds the arm preset)
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=../../sandbox/router-cpu.sh
source sandbox/router-cpu.sh
build=build/arm
cmake --preset arm >/dev/null
cmake --build --preset arm --target upgrader upgrade-inspect mkupgrade >/dev/null
# The demo router is laid out with the host's package builder and watchdog
# program (its shell starts the latter, and the device's shell is the host's).
cmake --preset dev >/dev/null
cmake --build build/dev -j 2 --target mkupgrade qx_wdfeed >/dev/null
qemu=$(command -v qemu-arm-static)
# shellcheck disable=SC2054 # "exec,nochain" is one argument
count_args=(-singlestep -d exec,nochain -D /proc/self/fd/3)

# A 32-bit program lists directories on a memory file system only (see
# scripts/arm-run.sh).
work=$(mktemp -d /dev/shm/qx-armbench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# instructions PROGRAM ARGS...: the instructions the ARM program executes.
instructions() {
  { "$qemu" "${count_args[@]}" "$@" 3>&1 >/dev/null 2>&1; } | grep -c '^Trace'
}

package_of() { # package_of BYTES [signed]: a package with one inner file of BYTES bytes
  local name=package-$1${2:+-signed}
  [[ -f $work/data-$1 ]] || head -c "$1" /dev/urandom >"$work/data-$1"
  "$qemu" "$build/tools/mkupgrade/mkupgrade" --package-version 5 --upgrade-name bench \
    --release-name R1 --file-date 20261206 --upgrade-id 1 -o "$work/$name" \
    ${2:+--sign "$work/bench.key"} --label data "$work/data-$1"
  echo "$work/$name"
}

small=16
large=$((256 * 1024))
small_count=$(instructions "$build/tools/inspect/upgrade-inspect" verify "$(package_of $small)")
large_count=$(instructions "$build/tools/inspect/upgrade-inspect" verify "$(package_of $large)")
echo "upgrade-inspect verify: $small_count instructions ($small-byte inner file)," \
  "$large_count ($large bytes)"
awk -v s="$small_count" -v l="$large_count" -v b=$((large - small)) \
  'BEGIN { printf "verification: %.2f ARM instructions per byte\n", (l - s) / b }'

# Extraction: verify, then copy inner file 0 while hashing it again (MD5,
# checked against the digest the parse verified), as the device extracts;
# its cost per byte is the extract count's slope less the verification's.
# The tool writes a regular file in its verifying pass, so the copy goes to
# a stream, which gets its bytes only after the verification, as the
# device's files do.
extract_small=$(instructions "$build/tools/inspect/upgrade-inspect" extract \
  "$(package_of $small)" 0 /dev/null)
extract_large=$(instructions "$build/tools/inspect/upgrade-inspect" extract \
  "$(package_of $large)" 0 /dev/null)
awk -v s="$extract_small" -v l="$extract_large" -v vs="$small_count" -v vl="$large_count" \
  -v b=$((large - small)) 'BEGIN { printf "extraction (copy and MD5 check): %.2f ARM" \
  " instructions per byte\n", ((l - s) - (vl - vs)) / b }'

# Signed packages, checked against the signing key: MD5 and SHA-256 in one
# pass, then one Ed25519 verification. The signature check's own cost is the
# signed small package's count less the unsigned one's (key file, block,
# verification, and the SHA-256 of 400 bytes).
"$qemu" "$build/tools/mkupgrade/mkupgrade" --generate-key "$work/bench"
key=(--key "$work/bench.pub")
signed_small=$(instructions "$build/tools/inspect/upgrade-inspect" verify "${key[@]}" \
  "$(package_of $small signed)")
signed_large=$(instructions "$build/tools/inspect/upgrade-inspect" verify "${key[@]}" \
  "$(package_of $large signed)")
echo "upgrade-inspect verify --key (signed): $signed_small instructions ($small-byte inner" \
  "file), $signed_large ($large bytes)"
awk -v s="$signed_small" -v l="$signed_large" -v b=$((large - small)) \
  'BEGIN { printf "signed verification: %.2f ARM instructions per byte\n", (l - s) / b }'
echo "signature check: $((signed_small - small_count)) instructions"

scripts/make-router "$work/router" build/dev
package_bytes=$(stat -c %s "$work/router/device/tmp/ramdisk/ud1765000000.pkg")
# The emulator's log goes to descriptor 3, which the device's processes
# inherit from the launcher; the sandbox's own messages go to stderr.
run_count=$({
  sandbox/devsim --flash 40M --ramdisk 32M --overlay "$work/router/device" \
    --proc-version-file "$work/router/proc_version" --board-file "$work/router/board" \
    --emulator "$qemu" --timeout 1800 \
    --emulator-arg -singlestep --emulator-arg -d --emulator-arg exec,nochain \
    --emulator-arg -D --emulator-arg /proc/self/fd/3 \
    --program "$build/upgrader/upgrader" --out "$work/run" -- /tmp/wdfeed 3>&1 >&2
} | grep -c '^Trace')
grep -qs "Successfully upgraded firmware" "$work/run/root/var/log/upgrade_log" \
  "$work/run/root/tmp/ramdisk/upgrade_log" ||
  { echo "bench/arm/run.sh: the upgrade did not succeed" >&2 && exit 1; }
echo "upgrader, whole successful run of the demo router ($package_bytes-byte package):" \
  "$run_count instructions"
