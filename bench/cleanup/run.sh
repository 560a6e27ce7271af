#!/bin/bash
# Whole-cleanup benchmark on a simulated device: system calls per pass of
# the old-logs stage, counted with strace (as the sandbox's "emulator", so
# it runs inside the device) on the probe process only; the shell commands
# that system() starts are not traced.
#
# usage: run.sh CLEANUP_PROBE [DEVSIM]
# CLEANUP_BENCH_SCENARIOS picks scenarios (default "low high none").
# Scenarios (each runs the whole cleanup with a requirement the flash can
# never meet, so every rotated log goes, one per pass):
#   low:  300 home logs numbered 00000-00299, 50 messages.N.gz, 50 sys.log.N.gz
#   high: 100 home logs numbered 09900-09999 (a long-lived archive counter),
#         50 messages.N.gz, 50 sys.log.N.gz
#   none: no home logs, 50 messages.N.gz and 50 sys.log.N.gz
# Each prints passes and system calls per pass (min, average, max) of the
# probe process; see passes.awk for where a pass begins and ends.
set -euo pipefail

probe=$(readlink -f "${1:?usage: run.sh CLEANUP_PROBE [DEVSIM]}")
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
devsim=${2:-$here/../../sandbox/devsim}
strace_bin=$(command -v strace) || { echo "run.sh: strace not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-cleanup.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A snapshot of the launcher: bash reads a script as it goes, and a run can
# last minutes.
cp "$devsim" "$work/devsim"
devsim=$work/devsim

# Places the rotated logs with interleaved times: home logs and the two
# /var/log families alternate, oldest first.
make_overlay() {
  local dir=$1 home_first=$2 home_count=$3 n t=1000000
  mkdir -p "$dir/home/logs" "$dir/var/log"
  for ((n = 0; n < home_count; n++)); do
    f=$(printf '%s/home/logs/log-%05d.txt.gz' "$dir" $((home_first + n)))
    head -c 4096 /dev/zero >"$f" && touch -d "@$((t += 60))" "$f"
    if ((n < 50)); then
      f=$dir/var/log/messages.$((50 - n)).gz
      head -c 4096 /dev/zero >"$f" && touch -d "@$((t += 60))" "$f"
      f=$dir/var/log/sys.log.$((50 - n)).gz
      head -c 4096 /dev/zero >"$f" && touch -d "@$((t += 60))" "$f"
    fi
  done
  if ((home_count == 0)); then
    for ((n = 50; n >= 1; n--)); do
      f=$dir/var/log/messages.$n.gz
      head -c 4096 /dev/zero >"$f" && touch -d "@$((t += 60))" "$f"
      f=$dir/var/log/sys.log.$n.gz
      head -c 4096 /dev/zero >"$f" && touch -d "@$((t += 60))" "$f"
    done
  fi
  echo "Linux version 2.6.35.3-00227-geccd148 (builder@buildhost) #1" >"$work/version"
}

run_scenario() {
  local name=$1 home_first=$2 home_count=$3
  local overlay=$work/$name/overlay out=$work/$name/out
  mkdir -p "$overlay"
  make_overlay "$overlay" "$home_first" "$home_count"
  local start end
  start=$(date +%s.%N)
  # The trace goes straight into passes.awk on the device (busybox awk), so
  # millions of trace lines never need to be stored.
  mkdir -p "$overlay/tmp/ramdisk"
  cp "$here/passes.awk" "$overlay/tmp/ramdisk/passes.awk"
  "$devsim" --program "$probe" --program-path /usr/sbin/cleanup_probe --out "$out" \
    --flash 64M --overlay "$overlay" --proc-version-file "$work/version" \
    --timeout 1200 --emulator "$strace_bin" --emulator-arg -o --emulator-arg \
    "|/bin/awk -f /tmp/ramdisk/passes.awk >/tmp/ramdisk/passes" \
    -- perform 0x7fffffff >/dev/null
  end=$(date +%s.%N)
  [[ $(cat "$out/exit_status") == 0 ]] || { echo "run.sh: $name: probe failed" >&2; exit 1; }
  printf '%-5s %s\n' "$name" "$(cat "$out/root/tmp/ramdisk/passes")"
  printf '      wall time under strace %s s; %s\n' \
    "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }')" "$(cat "$out/stdout")"
  rm -rf "$work/$name"
}

for scenario in ${CLEANUP_BENCH_SCENARIOS:-low high none}; do
  case $scenario in
  low) run_scenario low 0 300 ;;
  high) run_scenario high 9900 100 ;;
  none) run_scenario none 0 0 ;;
  *) echo "run.sh: unknown scenario $scenario" >&2 && exit 2 ;;
  esac
done
