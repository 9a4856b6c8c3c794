#!/bin/sh
# The demo's body; tools/demo.sh runs it inside a network namespace.
set -eu
build=$1
work=$(mktemp -d /tmp/lanflash-demo-XXXXXX)
trap 'kill $sim $lf 2>/dev/null || true; rm -rf "$work"' EXIT

echo "== machine-sim plays a model 7 machine on 127.0.0.7; lanflash explores"
"$build/machine-sim" --interval-ms 500 > "$work/sim.log" 2>&1 &
sim=$!
"$build/lanflash" &
lf=$!
sleep 4
kill -INT $lf
wait $lf && status=0 || status=$?
echo
echo "== lanflash ended with status $status"
