#!/bin/sh
# The kernel image run by the emulation against the driver linked into the program, on the same
# seeds: the demo's transcript (with the decoded line and the driver's debug lines) byte for byte,
# and the race matrix's and the fault sweep's tables of outcomes (times aside). The image's suites
# that run whole sessions through requests (the protocol tests) pass as they are.
#   image_runs.sh LMSCR DRIVER_TESTS PROTOCOL_TESTS IMAGE SEEDS TRIPLE_PERCENT PROTOCOL_FILTER
set -u
lmscr=$1 driver_tests=$2 protocol_tests=$3 image=$4 seeds=$5 triples=$6 filter=$7
dir=$(mktemp -d /tmp/lmscr-image-XXXXXX)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

for seed in 1 7; do
  "$lmscr" demo --seed $seed --trace --debug all >"$dir/linked.txt" 2>&1 || fail "demo, seed $seed: linked driver failed"
  "$lmscr" demo --seed $seed --trace --debug all --image "$image" >"$dir/image.txt" 2>&1 ||
    fail "demo, seed $seed, image: exit status $?: $(tail -3 "$dir/image.txt")"
  cmp -s "$dir/linked.txt" "$dir/image.txt" ||
    fail "demo, seed $seed: the image's transcript differs: $(diff "$dir/linked.txt" "$dir/image.txt" | head -10)"
  echo "ok    demo, seed $seed: $(wc -l <"$dir/image.txt") lines, the same with the image"
done

# Times are left out: the image pays a fault for each privileged read it makes.
tables() { sed -e 's/[0-9.]* s$//' -e 's/([0-9]* ms[^)]*)//' -e 's/[0-9.]* s in all//' "$1"; }
LMSCR_SOAK_SEEDS=$seeds LMSCR_SOAK_TRIPLE_PERCENT=$triples "$driver_tests" --gtest_filter='Soak.*' >"$dir/soak-linked.txt" 2>&1 ||
  fail "race matrix, linked driver: $(tail -5 "$dir/soak-linked.txt")"
LMSCR_IMAGE=$image LMSCR_SOAK_SEEDS=$seeds LMSCR_SOAK_TRIPLE_PERCENT=$triples "$driver_tests" --gtest_filter='Soak.*' >"$dir/soak-image.txt" 2>&1 ||
  fail "race matrix, image: $(tail -5 "$dir/soak-image.txt")"
tables "$dir/soak-linked.txt" >"$dir/a"
tables "$dir/soak-image.txt" >"$dir/b"
cmp -s "$dir/a" "$dir/b" || fail "race matrix: the image's outcomes differ: $(diff "$dir/a" "$dir/b" | head -10)"
echo "ok    race matrix and fault sweep, $seeds seeds a cell: the same outcomes with the image"

LMSCR_IMAGE=$image "$protocol_tests" --gtest_filter="$filter" >"$dir/protocol.txt" 2>&1 || fail "protocol tests with the image: $(grep FAILED "$dir/protocol.txt" | head -5)"
echo "ok    protocol tests with the image: $(grep -o '[0-9]* tests* from [0-9]* test suites* ran' "$dir/protocol.txt")"
