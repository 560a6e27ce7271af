# shellcheck shell=bash
# Shared by scripts/demo and scripts/rehearse (sourced): what one upgrade run
# on the simulated router did, read from the device tree placed before the
# run and the sandbox's outputs (sandbox/README.md).

# Files and links of a tree, one device path a line, sorted.
list_files() { (cd "$1" && find . -xdev \( -type f -o -type l \) | sed 's|^\.||' | sort); }

# report_run PLACED OUT SECONDS: prints the upgrade log, the outcome, the
# commands and what changed on the device. PLACED is the tree copied onto the
# device, OUT the sandbox's output directory, SECONDS the run's wall time.
report_run() {
  local placed=$1 out=$2 seconds=$3
  local root=$out/root status log
  status=$(cat "$out/exit_status")
  log=/var/log/upgrade_log
  [[ -f $root$log ]] || log=/tmp/ramdisk/upgrade_log

  echo
  echo "== upgrade log ($log) =="
  cat "$root$log" 2>/dev/null || echo "(no upgrade log)"
  echo "== outcome =="
  echo "exit status: $status"
  if ! grep -qs "Successfully upgraded firmware" "$root$log"; then
    echo "result: $(tail -n 1 "$root$log" 2>/dev/null | sed 's/^[0-9]* [0-9:]* - //')"
  elif [[ -e $root/etc/upgrade_started ]]; then
    echo "result: the package was verified and staged on a fresh RAM disk; the validator refused it"
  else
    echo "result: the package was verified, staged on a fresh RAM disk and validated"
  fi
  echo "run time: $seconds s in the sandbox (including the one-second quiescing pause)"
  echo "commands run through the shell: $(wc -l <"$out/commands.txt")"
  nl -ba "$out/commands.txt" | sed 's/^/  /'

  echo "== what changed on the device =="
  local before after path size
  before=$(mktemp)
  after=$(mktemp)
  list_files "$placed" >"$before"
  list_files "$root" >"$after"
  echo "files removed:"
  comm -23 "$before" "$after" | grep -v -e '^/tmp/ramdisk/' -e '\.disabled$' | sed 's/^/  /'
  echo "files emptied or shrunk:"
  comm -12 "$before" "$after" | grep -v '^/tmp/' | while IFS= read -r path; do
    [[ -f $placed$path && ! -L $placed$path ]] || continue
    size=$(stat -c %s "$placed$path")
    if (($(stat -c %s "$root$path") < size)); then
      echo "  $path: $size -> $(stat -c %s "$root$path") bytes"
    fi
  done
  rm -f "$before" "$after"
  echo "flash free at the end: $(cat "$out/flash_free") bytes"
  echo "RAM disk /tmp/ramdisk:"
  ls -l "$root/tmp/ramdisk" | tail -n +2 | awk '{print "  " $1, $5, $NF}'
  report_markers_and_daemons "$root"
  if [[ -s $out/watchdog ]]; then
    echo "system watchdog: started as 'watchdog /dev/watchdog -T 5'; the device restarts 5 s later"
  fi
  if [[ -f $root/tmp/validator-report ]]; then
    echo "validator: $(cat "$root/tmp/validator-report")"
  fi
  report_restart "$out/restarted"
}

# report_markers_and_daemons ROOT: the two markers and the auto-start daemons.
report_markers_and_daemons() {
  local root=$1 marker daemon
  echo "markers:"
  for marker in /etc/upgrade_started /tmp/ramdisk/pnv-wait-during-startup; do
    if [[ -e $root$marker ]]; then echo "  $marker present"; else echo "  $marker absent"; fi
  done
  echo "auto-start daemons:"
  for daemon in /sbin/qx_monitor /usr/sbin/qxsshd /sbin/nvlogger; do
    if [[ -e $root$daemon ]]; then
      echo "  $daemon in place"
    elif [[ -e $root$daemon.disabled ]]; then
      echo "  $daemon still parked"
    else
      echo "  $daemon absent"
    fi
  done
}

# report_restart BACK: what the router finds when it comes back from the
# restart (devsim --restart): the flash only, /tmp and the RAM disk gone.
report_restart() {
  local back=$1 log=/var/log/upgrade_log
  [[ -d $back ]] || return 0
  echo
  echo "== after the restart (/tmp and the RAM disk gone, the flash kept) =="
  if [[ -f $back$log ]]; then
    echo "upgrade log $log: $(wc -l <"$back$log") lines, the last 5:"
    tail -n 5 "$back$log" | sed 's/^/  /'
  else
    echo "upgrade log $log: missing (the upgrade history is lost)"
  fi
  report_markers_and_daemons "$back"
  echo "/tmp after the restart: $(find "$back/tmp" -mindepth 1 | wc -l) entries"
}
