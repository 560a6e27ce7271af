#!/bin/bash
# Whole-cleanup benchmark on a simulated device: system calls per pass of
# the old-logs stage, counted with strace (as the sandbox's "emulator", so
# it runs inside the device) on the probe process only; the shell commands
# that system() starts are not traced.
#
# usage: run.sh CLEANUP_PROBE [DEVSIM]
# Scenarios (each runs the whole cleanup with a requirement the flash can
# never meet, so every rotated log goes, one per pass):
#   low:  300 home logs numbered 00000-00299, 50 messages.N.gz, 50 sys.log.N.gz
#   high: 300 home logs numbered 09000-09299 (a long-lived archive counter)
#   none: no home logs, 50 messages.N.gz and 50 sys.log.N.gz
set -euo pipefail

probe=$(readlink -f "${1:?usage: run.sh CLEANUP_PROBE [DEVSIM]}")
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
devsim=${2:-$here/../../sandbox/devsim}
strace_bin=$(command -v strace) || { echo "run.sh: strace not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-cleanup.XXXXXX")
trap 'rm -rf "$work"' EXIT

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

# A pass runs from one rotated-log unlink to the next: the measurement that
# follows the removal, then the next pass's three searches and the repeated
# search of the chosen family.
report() {
  local name=$1 trace=$2
  awk -v name="$name" '
    / unlink\("\/(home\/logs|var\/log)\/[^"]*\.gz"/ {
      if (started) { record() }
      started = 1; calls = 0; stats = 0; next
    }
    started && /^[a-z_0-9]+\(/ {
      calls++
      if ($0 ~ /^(newfstatat|fstatat64|stat|stat64|statx)\(/) stats++
    }
    function record() {
      passes++; total += calls; totalStats += stats
      if (calls > max) max = calls
      if (min == "" || calls < min) min = calls
    }
    END {
      if (started) record()
      printf "%-5s passes %4d  syscalls/pass min %5d avg %8.1f max %5d  (stat calls avg %8.1f)\n",
             name, passes, min, total / passes, max, totalStats / passes
    }' "$trace"
}

run_scenario() {
  local name=$1 home_first=$2 home_count=$3
  local overlay=$work/$name/overlay out=$work/$name/out
  mkdir -p "$overlay"
  make_overlay "$overlay" "$home_first" "$home_count"
  local start end
  start=$(date +%s.%N)
  "$devsim" --program "$probe" --program-path /usr/sbin/cleanup_probe --out "$out" \
    --flash 64M --ramdisk 256M --overlay "$overlay" --proc-version-file "$work/version" \
    --timeout 600 --emulator "$strace_bin" --emulator-arg -o \
    --emulator-arg /tmp/ramdisk/trace -- perform 0x7fffffff >/dev/null
  end=$(date +%s.%N)
  [[ $(cat "$out/exit_status") == 0 ]] || { echo "run.sh: $name: probe failed" >&2; exit 1; }
  report "$name" "$out/root/tmp/ramdisk/trace"
  printf '      wall time under strace %.1f s; %s\n' "$(echo "$end - $start" | bc)" \
    "$(cat "$out/stdout")"
  rm -rf "$work/$name"
}

run_scenario low 0 300
run_scenario high 9000 300
run_scenario none 0 0
