#!/bin/sh
# Runs each fuzz target of BUILD (make fuzz) for SECONDS on a working copy of
# its seed corpus. A crash, a sanitizer report, a broken invariant or an input
# that runs longer than 10 s fails the run; the input is kept in
# BUILD/fuzz-findings/ for a regression test.
set -eu
if [ "$#" -lt 1 ]; then
    echo "usage: run.sh BUILD [SECONDS]" >&2
    exit 2
fi
build=$1
seconds=${2:-60}
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
mkdir -p "$build/fuzz-findings"
for target in fuzz_announce fuzz_replies; do
    work="$build/fuzz-corpus/$target"
    mkdir -p "$work"
    echo "== $target for ${seconds} s"
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -max_len=2048 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$target-" \
        "$work" "$seeds/$target"
done
