#!/usr/bin/env bash
# Writes the reader fuzzer's seed corpus: small packages built by mkupgrade
# (one inner file, an empty inner file, sizes around the 1024-byte read
# buffer, full-width texts and labels, a signed one) plus a few cut and
# damaged copies.
# Usage: fuzz/make_corpus.sh MKUPGRADE OUTDIR
set -euo pipefail
mkupgrade=${1:?usage: $0 MKUPGRADE OUTDIR}
out=${2:?usage: $0 MKUPGRADE OUTDIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Deterministic inputs, so the corpus is the same on every machine.
make_input() {  # NAME SIZE
    head -c "$2" < <(yes "qx-seed-$1" | tr -d '\n') > "$work/$1"
}
make_input empty 0
make_input one 1
make_input small 100
make_input below 1023
make_input exact 1024
make_input above 1025
make_input three 3000

fields=(--package-version 5 --upgrade-name "qx router" --release-name R5.1 --file-date 20261206
        --upgrade-id 42)
full=(--package-version 65535 --upgrade-name 0123456789abcdef0123456789abcdef
      --release-name 0123456789abcdef --file-date 20261206 --upgrade-id 4294967295
      --spare-text1 sparetx1 --spare-text2 sparetx2 --spare-word 0xdeadbeef)

"$mkupgrade" "${fields[@]}" -o "$out/empty-inner" "$work/empty"
"$mkupgrade" "${fields[@]}" -o "$out/one-inner" --label only "$work/small"
"$mkupgrade" "${fields[@]}" -o "$out/five-inner" "$work/one" "$work/small" \
    --label validator "$work/below" --label kernel "$work/exact" --label db "$work/above"
"$mkupgrade" "${full[@]}" -o "$out/full-fields" \
    "$work/empty" --label 0123456789abcdef0123456789abcdef "$work/three"

# Cut and damaged copies start the fuzzer near each failure path.
head -c 127 "$out/one-inner" > "$out/cut-header"
head -c 300 "$out/five-inner" > "$out/cut-data"
head -c 257 "$out/five-inner" > "$out/cut-after-first"
cp "$out/five-inner" "$out/bad-digest"
printf '\x00' | dd of="$out/bad-digest" bs=1 seek=600 conv=notrunc status=none
cp "$out/one-inner" "$out/trailing"
printf 'trailing bytes' >> "$out/trailing"

# Signed seeds, with the fuzzing key of ReaderFuzzer.cpp (seed: 32 bytes 0x07):
# a good block, and one with a byte after it.
printf 'qx-upgrade-secret-key fe812c12f3ab4ce6 %s\n' "$(printf '07%.0s' {1..32})" > "$work/fuzz.key"
chmod 600 "$work/fuzz.key" # the signer takes only a key closed to group and others
"$mkupgrade" "${fields[@]}" --sign "$work/fuzz.key" -o "$out/signed" "$work/small" "$work/one"
cp "$out/signed" "$out/signed-trailing"
printf 'x' >> "$out/signed-trailing"
