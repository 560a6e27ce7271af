#!/bin/bash
# Usage: scripts/size-report.sh [--breakdown] [BUILD_DIR]
#
# Size of the device program as shipped: the stripped, static ARM upgrader of
# the "arm" build, against its budget.
#
#   scripts/size-report.sh [--breakdown] [BUILD_DIR]     (default: build/arm)
#
# --breakdown also relinks the program with a link map (in a temporary
# directory) and shows where its bytes come from, and measures what the C++
# standard library's string streams cost with two small programs built with
# the same compiler and flags.
#
# Exit status: 0 within the budget, 1 over it, 2 when it cannot measure.
# QX_SIZE_BUDGET (bytes) overrides the budget.
set -euo pipefail
[[ ${1:-} != -h && ${1:-} != --help ]] || { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0; }

budget=${QX_SIZE_BUDGET:-1441792} # 1.375 MiB
breakdown=0
if [[ ${1:-} == --breakdown ]]; then
  breakdown=1
  shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/arm}
program=$build/upgrader/upgrader
cross=arm-linux-gnueabi

fail() {
  echo "size-report: $*" >&2
  exit 2
}
command -v $cross-readelf >/dev/null || fail "$cross-readelf not found (Debian package binutils-arm-linux-gnueabi)"
kib() { awk -v b="$1" 'BEGIN { printf "%.1f KiB", b / 1024 }'; }

# check_device_program PATH: a program for the router as shipped: ARM,
# static, stripped, for its CPU (ARMv5TE without a floating-point unit; the
# linker records the highest architecture any linked object needs).
check_device_program() {
  local path=$1 header attributes
  [[ -f $path ]] || fail "no device program at $path (build it: cmake --preset arm && cmake --build --preset arm)"
  header=$($cross-readelf -h "$path")
  grep -q 'Machine:.*ARM' <<<"$header" || fail "$path is not an ARM program"
  if $cross-readelf -l "$path" | grep -q 'INTERP'; then
    fail "$path is dynamically linked"
  fi
  if $cross-readelf -S "$path" | grep -q '\.symtab'; then
    fail "$path is not stripped"
  fi
  attributes=$($cross-readelf -A "$path")
  grep -q 'Tag_CPU_arch: v5TE$' <<<"$attributes" ||
    fail "$path needs a CPU other than ARMv5TE: $(grep Tag_CPU_arch: <<<"$attributes")"
  if grep -q 'Tag_FP_arch\|Tag_ABI_VFP_args' <<<"$attributes"; then
    fail "$path uses floating-point hardware"
  fi
  echo "$path"
  echo "  static, stripped, ARMv5TE; ELF flags: $(sed -n 's/^ *Flags: *//p' <<<"$header")"
  echo "  size:   $(stat -c %s "$path") bytes ($(kib "$(stat -c %s "$path")"))"
}

echo "Device program:"
check_device_program "$program"
size=$(stat -c %s "$program")
echo "  budget: $budget bytes ($(kib "$budget")), headroom $((budget - size)) bytes"
# The package inspector ships to the router too (no budget of its own).
inspector=$build/tools/inspect/upgrade-inspect
if [[ -e $inspector ]]; then
  echo "Package inspector for the device:"
  check_device_program "$inspector"
fi

if ((breakdown)); then
  command -v ninja >/dev/null || fail "ninja not found"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT

  # The build's own link command, unstripped and with a map.
  link=$(ninja -C "$build" -t commands upgrader | tail -1)
  link=${link#: && }
  link=${link% && :}
  link=${link//-o upgrader\/upgrader/-o $work/upgrader}
  link=${link// -s / }
  (cd "$build" && eval "$link -Wl,-Map=$work/upgrader.map") 2>/dev/null || fail "relinking failed"

  echo
  echo "Where the bytes come from (sections kept in the program, before stripping):"
  awk '
    function hex(text, i, digit, value) {
      value = 0
      text = tolower(substr(text, 3))
      for (i = 1; i <= length(text); i++) {
        digit = index("0123456789abcdef", substr(text, i, 1)) - 1
        value = value * 16 + digit
      }
      return value
    }
    /^Linker script and memory map/ { on = 1; next }
    !on { next }
    /^ \.[^ ]+$/ { pending = $1; next }
    {
      section = ""; size = ""; file = ""
      if ($0 ~ /^ \.[^ ]+ +0x[0-9a-f]+ +0x[0-9a-f]+ /) { section = $1; size = $3; file = $4 }
      else if (pending != "" && $0 ~ /^ +0x[0-9a-f]+ +0x[0-9a-f]+ /) { section = pending; size = $2; file = $3 }
      pending = ""
      if (section == "" || section ~ /^\.(t?bss|debug|comment|ARM\.attributes)/) next
      bytes = hex(size)
      if (file ~ /libstdc\+\+/) {
        part = "C++ standard library"
        if (file ~ /(locale|facets|ios|stream|codecvt|monetary|numeric_members|time_members|messages_members|collate)/)
          part = "C++ standard library: locales and streams"
      } else if (file ~ /libc\.a/) part = "C library (glibc, static)"
      else if (file ~ /libsodium\.a/) part = "libsodium (SHA-256, Ed25519 verification)"
      else if (file ~ /libgcc/) part = "compiler runtime (libgcc)"
      else if (file ~ /crt/) part = "start-up files"
      else part = "project code"
      total[part] += bytes
    }
    END { for (p in total) printf "  %9d  %s\n", total[p], p }
  ' "$work/upgrader.map" | sort -rn

  # What string streams cost: the same small program with std::string and
  # snprintf, and with std::ostringstream.
  flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
  flags="$flags $(sed -n 's/^CMAKE_CXX_FLAGS_MINSIZEREL:STRING=//p' "$build/CMakeCache.txt")"
  cat >"$work/plain.cpp" <<'EOF'
#include <cstdio>
#include <string>
int main(int argc, char** argv) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", argc);
    std::string text = std::string(argv[0]) + ": " + number;
    std::puts(text.c_str());
}
EOF
  cat >"$work/stream.cpp" <<'EOF'
#include <cstdio>
#include <sstream>
int main(int argc, char** argv) {
    std::ostringstream text;
    text << argv[0] << ": " << argc;
    std::puts(text.str().c_str());
}
EOF
  for probe in plain stream; do
    # shellcheck disable=SC2086
    $cross-g++ -std=c++17 $flags -static -Wl,--gc-sections -s "$work/$probe.cpp" -o "$work/$probe" 2>/dev/null ||
      fail "cannot build the $probe probe"
  done
  plain=$(stat -c %s "$work/plain")
  stream=$(stat -c %s "$work/stream")
  echo
  echo "What std::ostringstream costs (small static programs, same flags):"
  echo "  std::string + snprintf: $plain bytes"
  echo "  std::ostringstream:     $stream bytes"
  echo "  cost of the streams:    $((stream - plain)) bytes ($(kib $((stream - plain))))"
fi

if ((size > budget)); then
  echo "size-report: $program is $((size - budget)) bytes over its budget" >&2
  exit 1
fi
