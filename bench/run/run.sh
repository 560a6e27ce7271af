#!/usr/bin/env bash
# Times one full upgrade run in the device sandbox and counts the processes
# it starts (the recorded shell commands).
#
# The sandbox's own set-up and copy-out are measured with a program that does
# nothing (the sandbox's sysprobe without arguments) on the same device and
# subtracted, as is the one-second pause of the quiescing step.
# usage: bench/run/run.sh [REPETITIONS]   (default 9; release build)
set -euo pipefail
cd "$(dirname "$0")/../.."
reps=${1:-9}
build=build/release
cmake --preset release >/dev/null
cmake --build "$build" -j 2 --target upgrader mkupgrade qx_wdfeed qx_sysprobe >/dev/null

work=$(mktemp -d /tmp/qx-runbench-XXXXXX)
trap 'rm -rf "$work"' EXIT
scripts/make-router "$work" "$build"

run_once() { # run_once PROGRAM OUT [ARGS...]: prints the wall time in microseconds
  local start end program=$1 out=$2
  shift 2
  start=$(date +%s%N)
  sandbox/devsim --flash 40M --ramdisk 32M --overlay "$work/device" \
    --proc-version-file "$work/proc_version" --board-file "$work/board" \
    --program "$program" --out "$out" -- "$@" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

: >"$work/upgrader.times"
: >"$work/baseline.times"
for ((i = 0; i < reps; i++)); do
  run_once "$build/upgrader/upgrader" "$work/u$i" /tmp/wdfeed >>"$work/upgrader.times"
  run_once "$(find "$build/sandbox" -maxdepth 1 -name "*sysprobe" -type f)" "$work/b$i" >>"$work/baseline.times"
done
upgrader_us=$(median <"$work/upgrader.times")
baseline_us=$(median <"$work/baseline.times")
commands=$(wc -l <"$work/u0/commands.txt")
echo "exit status of the run: $(cat "$work/u0/exit_status")"
echo "processes started by one successful run (recorded shell commands): $commands"
echo "median sandbox wall time: upgrader ${upgrader_us} us, empty program ${baseline_us} us ($reps runs each)"
echo "upgrader's own time without the one-second pause: $(((upgrader_us - baseline_us - 1000000) / 1000)) ms"
