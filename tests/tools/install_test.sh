#!/bin/sh
# install_test.sh BUILD_DIR: `cmake --install` into a scratch prefix gives
# exactly the two host tools, their section-1 man pages, their bash
# completions and the copyright file; the installed tools answer --version
# and --help, the man pages document every subcommand and option with
# examples, and the completions complete the subcommands.
set -eu
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/qx-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
found=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
expected="./bin/mkupgrade ./bin/upgrade-inspect \
./share/bash-completion/completions/mkupgrade ./share/bash-completion/completions/upgrade-inspect \
./share/doc/qx-upgrade-tools/changelog.gz ./share/doc/qx-upgrade-tools/copyright \
./share/man/man1/mkupgrade.1.gz ./share/man/man1/upgrade-inspect.1.gz "
if [ "$found" != "$expected" ]; then
  echo "installed: $found" >&2
  echo "expected:  $expected" >&2
  exit 1
fi
# The page's text, its escaped dashes plain; one of its sections.
page() { gzip -dc "$prefix/share/man/man1/$1.1.gz" | sed 's/\\-/-/g'; }
section() { page "$1" | awk -v name="$2" '/^\.SH /{on = $0 == ".SH " name || $0 == ".SH \"" name "\""} on'; }
# A word of a page's section, not part of a longer one (--key is not --keys).
names() { section "$1" "$2" | grep -Eq -- "(^|[^a-z0-9-])$3([^a-z0-9-]|\$)"; }
for tool in mkupgrade upgrade-inspect; do
  "$prefix/bin/$tool" --version | grep -qx "$tool [0-9.]*"
  "$prefix/bin/$tool" --help | sed -n "1{/^Usage: $tool /p}" | grep -q .
  page "$tool" | grep -q "^\.TH $(echo "$tool" | tr a-z A-Z) \"1\""
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS '"EXIT STATUS"' SIGNALS FILES EXAMPLES; do
    page "$tool" | grep -qx "\.SH $heading" || { echo "$tool(1) lacks $heading" >&2; exit 1; }
  done
  # Every subcommand and long option the help lists: each subcommand in
  # SYNOPSIS and OPTIONS, each option in OPTIONS (a new one without an entry
  # fails here).
  commands=$("$prefix/bin/$tool" --help |
    awk '/^Subcommands:/{on = 1; next} on && /^  [a-z]/{print $1} /^$/{on = 0}')
  options=$({ "$prefix/bin/$tool" --help-all 2>/dev/null || "$prefix/bin/$tool" --help; } |
    sed -En 's/^ +(-[a-zA-Z], ?)?(--[a-z][a-z0-9-]*).*/\2/p' | sort -u)
  [ "$tool" = mkupgrade ] || [ -n "$commands" ] || { echo "no subcommands in $tool --help-all" >&2; exit 1; }
  [ "$(echo "$options" | wc -l)" -gt 5 ] || { echo "too few options in $tool's help" >&2; exit 1; }
  for command in $commands; do
    for heading in SYNOPSIS OPTIONS; do
      names "$tool" "$heading" "$command" || { echo "$tool(1) $heading lacks $command" >&2; exit 1; }
    done
  done
  for option in $options; do
    names "$tool" OPTIONS "$option" || { echo "$tool(1) OPTIONS lacks $option" >&2; exit 1; }
  done
done
# Completion: a line (its last word is completed) and what it offers, in
# a folder with a package, keys and a subfolder; the tools on PATH.
if [ -r /usr/share/bash-completion/bash_completion ]; then
  work=$prefix/work
  mkdir "$work" "$work/keys" && touch "$work/a.pub" "$work/b.key" "$work/c.txt"
  echo kernel >"$work/k"
  (cd "$work" && "$prefix/bin/mkupgrade" --package-version 1 --upgrade-name t --release-name R1 \
    --file-date 20261206 --upgrade-id 1 -o pkg.bin k --label fs-validator k \
    --label kernel_image k --label 'two words' k)
  while IFS='|' read -r tool line expected; do
    got=$(cd "$work" && PATH="$prefix/bin:$PATH" bash -c '
      . /usr/share/bash-completion/bash_completion
      . "$1/share/bash-completion/completions/$2"
      line=$3
      read -ra COMP_WORDS <<<"$line"
      [[ $line == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
      "_${2//-/_}"
      printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' _ "$prefix" "$tool" "$line")
    if [ "$got" != "$expected " ]; then
      echo "completion of '$line': '$got', expected '$expected '" >&2
      exit 1
    fi
  done <<EOF
upgrade-inspect|upgrade-inspect d|diff
upgrade-inspect|upgrade-inspect extract pkg.bin |0 1 2 3 fs-validator kernel_image two\\ words
upgrade-inspect|upgrade-inspect -v extract pkg.bin k|kernel_image
upgrade-inspect|upgrade-inspect extract pkg.bin 3 |a.pub b.key c.txt k keys pkg.bin
upgrade-inspect|upgrade-inspect list --k|--key --keys
upgrade-inspect|upgrade-inspect verify --key |a.pub keys
upgrade-inspect|upgrade-inspect verify --keys |keys
upgrade-inspect|upgrade-inspect diff --j|--json
mkupgrade|mkupgrade --sign |b.key keys
mkupgrade|mkupgrade --uns|--unsigned
EOF
fi
echo "installed and ran: $found"
