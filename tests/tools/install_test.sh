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
# The page's text, its escaped dashes plain.
page() { gzip -dc "$prefix/share/man/man1/$1.1.gz" | sed 's/\\-/-/g'; }
for tool in mkupgrade upgrade-inspect; do
  "$prefix/bin/$tool" --version | grep -qx "$tool [0-9.]*"
  "$prefix/bin/$tool" --help | sed -n "1{/^Usage: $tool /p}" | grep -q .
  page "$tool" | grep -q "^\.TH $(echo "$tool" | tr a-z A-Z) \"1\""
  page "$tool" | grep -q '^\.SH EXAMPLES'
done
for word in list verify extract unpack diff plan --json --required --root --free \
  --proc-version --verbose --key PACKAGE2; do
  page upgrade-inspect | grep -q -- "$word" || { echo "upgrade-inspect(1) lacks $word" >&2; exit 1; }
done
for word in package-version upgrade-name release-name file-date upgrade-id spare-text1 \
  spare-text2 spare-word label output manifest sign generate-key; do
  page mkupgrade | grep -q -- "--$word" || { echo "mkupgrade(1) lacks --$word" >&2; exit 1; }
done
if [ -r /usr/share/bash-completion/bash_completion ]; then
  words=$(bash -c ". /usr/share/bash-completion/bash_completion
    . '$prefix/share/bash-completion/completions/upgrade-inspect'
    COMP_WORDS=(upgrade-inspect d); COMP_CWORD=1; COMP_LINE='upgrade-inspect d'; COMP_POINT=17
    _upgrade_inspect; echo \"\${COMPREPLY[*]}\"")
  [ "$words" = "diff" ] || { echo "completion of 'upgrade-inspect d': $words" >&2; exit 1; }
fi
echo "installed and ran: $found"
