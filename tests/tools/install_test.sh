#!/bin/sh
# install_test.sh BUILD_DIR: `cmake --install` into a scratch prefix gives
# exactly the two host tools and their section-1 man pages, and the
# installed tools answer --version and --help.
set -eu
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/qx-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
found=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
expected="./bin/mkupgrade ./bin/upgrade-inspect ./share/man/man1/mkupgrade.1.gz ./share/man/man1/upgrade-inspect.1.gz "
if [ "$found" != "$expected" ]; then
  echo "installed: $found" >&2
  echo "expected:  $expected" >&2
  exit 1
fi
for tool in mkupgrade upgrade-inspect; do
  "$prefix/bin/$tool" --version | grep -qx "$tool [0-9.]*"
  "$prefix/bin/$tool" --help | sed -n "1{/^Usage: $tool /p}" | grep -q .
  gzip -dc "$prefix/share/man/man1/$tool.1.gz" | grep -q "^\.TH $(echo "$tool" | tr a-z A-Z) \"1\""
done
echo "installed and ran: $found"
