#!/usr/bin/env bash
# scripts/rehearse on a tiny root file system with a small package: the
# upgrade succeeds with the free space asked for, the report shows the log,
# the commands and the changes, the given tree is untouched, and nothing of
# the run is left on the host (temporary files, mounts, processes); a
# merged-/usr root succeeds too. Then exit 1 for a validator that refuses, a
# package that does not parse and a flash too small for the tree (one line).
#
# usage: rehearse_test.sh REPO BUILD MKUPGRADE-COMMAND...
set -euo pipefail
repo=$1
build=$2
shift 2
mkupgrade=("$@")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

scratch=$(mktemp -d /dev/shm/qx-rehearse-test-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root"/{etc,var/log,sbin,tmp/ramdisk,lib/modules/2.6.35.3-00227-geccd148} "$scratch/tmp"
head -c 200000 /dev/zero | tr '\0' 'x' >"$root/var/log/sys.log"
echo "module" >"$root/lib/modules/2.6.35.3-00227-geccd148/wan.ko"
printf '#!/bin/sh\nexit 0\n' >"$root/sbin/qx_monitor.disabled"
chmod 755 "$root/sbin/qx_monitor.disabled"
mkdir "$scratch/package"
cd "$scratch/package"
echo "notes" >notes
echo "manifest" >manifest
printf '#!/bin/sh\necho "checked $1" >/tmp/validator-report\n' >validator
head -c 3000 /dev/zero >kernel
echo "db" >db
"${mkupgrade[@]}" --package-version 1 --upgrade-name tiny --release-name R1 \
  --file-date 20261206 --upgrade-id 1 -o "$scratch/tiny.pkg" notes manifest validator kernel db
cd "$repo"

tree_state() { find "$1" -printf '%p %s %m %T@\n' | sort; }
before=$(tree_state "$root")
status=0
report=$(TMPDIR=$scratch/tmp scripts/rehearse "$root" "$scratch/tiny.pkg" --free 24000000 \
  --build "$build" 2>&1) || status=$?
echo "$report"
((status == 0)) || fail "rehearse exited with $status"

for expected in "Successfully upgraded firmware" "exit status: 1" "watchdog /dev/watchdog -T 5" \
  "validator: checked /tmp/ramdisk/kernel_image" "/sbin/qx_monitor in place" \
  "exit status: 0 (the package was accepted)" "== after the restart" \
  "/etc/upgrade_started absent"; do
  [[ $report == *"$expected"* ]] || fail "report lacks: $expected"
done
# The flash was sized for the free space asked for (to the KiB).
free=$(grep -m1 -o 'FreeSpace: [0-9]*' <<<"$report" | cut -d' ' -f2)
((free >= 24000000 - 8192 && free <= 24000000 + 8192)) || fail "free space at the start: $free"

[[ $(tree_state "$root") == "$before" ]] || fail "the root file system given was changed"
[[ -z $(ls -A "$scratch/tmp") ]] || fail "left behind: $(ls -A "$scratch/tmp")"
! grep -q "$scratch" /proc/self/mountinfo || fail "a mount was left behind"
for environment in /proc/[0-9]*/environ; do
  if grep -qs "TMPDIR=$scratch/tmp" "$environment"; then
    fail "a process was left behind: ${environment%/environ}"
  fi
done
# A merged-/usr root (bin, sbin, lib linked into usr, one link absolute, as
# Debian lays roots out): its links stay, its own /bin/sh (dangling here)
# stays out, and the kernel is told from the module tree behind /lib.
merged=$scratch/merged
mkdir -p "$merged"/usr/{bin,sbin,lib/modules/2.6.35.3-00227-geccd148} "$merged"/{etc,var/log}
ln -s usr/bin "$merged/bin" && ln -s /usr/sbin "$merged/sbin" && ln -s usr/lib "$merged/lib"
ln -s dash "$merged/usr/bin/sh"
cp -p "$root/sbin/qx_monitor.disabled" "$merged/usr/sbin/"
report=$(TMPDIR=$scratch/tmp scripts/rehearse "$merged" "$scratch/tiny.pkg" --free 24M \
  --build "$build" 2>&1) || fail "merged-/usr root: $report"
[[ $report == *"/sbin/qx_monitor in place"* && $report == *"(the package was accepted)"* ]] ||
  fail "merged-/usr root: $report"
# Exit 0 only for a completed upgrade that the validator accepted.
cd "$scratch/package"
printf '#!/bin/sh\necho "refusing $1"\nexit 3\n' >validator
"${mkupgrade[@]}" --package-version 1 --upgrade-name tiny --release-name R1 \
  --file-date 20261206 --upgrade-id 1 -o "$scratch/refused.pkg" notes manifest validator kernel db
head -c 300 "$scratch/tiny.pkg" >"$scratch/broken.pkg"
cd "$repo"
for package in refused broken; do
  status=0
  report=$(TMPDIR=$scratch/tmp scripts/rehearse "$root" "$scratch/$package.pkg" --free 24M \
    --build "$build" 2>&1) || status=$?
  ((status == 1)) || fail "$package package: rehearse exited with $status"
  [[ $package != refused || $report == *"exit status: not 0"* ]] || fail "refused: $report"
done
[[ $report == *"Unable to parse file"* && $report == *"exit status: not run"* ]] ||
  fail "broken package report: $report"
status=0
report=$(scripts/rehearse "$root" "$scratch/tiny.pkg" --flash 100K --build "$build" 2>&1) || status=$?
((status == 1)) && [[ $report == "rehearse: the flash (102400 bytes) is too small for"* ]] &&
  (($(wc -l <<<"$report") == 1)) || fail "flash too small: $status $report"
echo "rehearse: ok"
