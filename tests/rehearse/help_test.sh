#!/usr/bin/env bash
# Every script answers --help with its usage on stdout and exit status 0,
# before doing anything; a missing argument is one usage line and exit 2.
#
# usage: help_test.sh REPO
set -euo pipefail
cd "$1"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for script in scripts/*; do
  [[ -x $script ]] || continue
  out=$("$script" --help) || fail "$script --help exited with $?"
  [[ $(head -n 1 <<<"$out") == "Usage: $script"* ]] || fail "$script --help: $(head -n 1 <<<"$out")"
done
for script in scripts/make-router scripts/rehearse scripts/arm-run.sh; do
  status=0
  err=$("$script" 2>&1 >/dev/null) || status=$?
  ((status == 2)) || fail "$script without arguments exited with $status"
  [[ $err == "Usage: $script"* && $(wc -l <<<"$err") == 1 ]] || fail "$script: $err"
done
echo "help: ok"
