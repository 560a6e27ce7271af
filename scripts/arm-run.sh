#!/bin/bash
# Usage: scripts/arm-run.sh QEMU PROGRAM [ARGS...]
#
# Runs a program of the ARM device build on this machine under user-mode
# emulation: the cross build's test runner (CMAKE_CROSSCOMPILING_EMULATOR),
# so CTest and test discovery start every ARM test binary through it.
#
#   arm-run.sh QEMU PROGRAM [ARGS...]
#
# Temporary files go to a memory file system (QX_ARM_TMPDIR, else /dev/shm):
# on a 64-bit host, disk file systems such as ext4 hand out 64-bit directory
# positions that the emulated program's 32-bit readdir() cannot hold, so
# listing a directory there fails with EOVERFLOW. The device's own 32-bit
# kernel never does that; tmpfs positions are small on any kernel.
#
# The emulator presents the router's CPU (ARM926) and kernel release, and so
# do the emulators of the devices that tests simulate (sandbox/router-cpu.sh).
set -euo pipefail
[[ ${1:-} != -h && ${1:-} != --help ]] || { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0; }
# shellcheck source=../sandbox/router-cpu.sh
source "$(dirname "${BASH_SOURCE[0]}")/../sandbox/router-cpu.sh"
(($# >= 2)) || { sed -n 2p "$0" | sed 's/^# //' >&2 && exit 2; }
qemu=$1
shift
if [[ -n ${QX_ARM_TMPDIR:-} ]]; then
  export TMPDIR=$QX_ARM_TMPDIR
elif [[ -d /dev/shm && -w /dev/shm ]]; then
  export TMPDIR=/dev/shm
fi
exec "$qemu" -L /usr/arm-linux-gnueabi "$@"
