# shellcheck shell=bash
# The router's CPU and kernel as qemu's user-mode emulator presents them to an
# ARM program: an ARM926 core (ARMv5TE: an ARMv6 or ARMv7 instruction raises
# SIGILL, as on the router) and Linux 2.6.35 as the release uname reports.
# Sourced by everything that runs device programs under emulation. qemu-arm
# reads the two variables, and an emulated program hands them on with its
# environment to every ARM program it starts, so those run on the same model.
export QEMU_CPU=arm926
export QEMU_UNAME=2.6.35
