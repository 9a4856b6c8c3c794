#!/bin/sh
# The demo's body; tools/demo.sh runs it inside a network namespace.
set -eu
build=$1
work=$(mktemp -d /tmp/lanflash-demo-XXXXXX)
sim=""
lf=""
cleanup() {
    [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
    [ -n "$lf" ] && kill "$lf" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cd "$work"
head -c 65536 /dev/urandom > fw.bin
echo "== A 64 KiB image, fw.bin; machine-sim plays a model 7 machine at 127.0.0.7"
echo "== running its application. lanflash resets it, downloads and runs the image."
"$build/machine-sim" --out received.bin --exit-after-run --log sim.log &
sim=$!
started=$(date +%s)
"$build/lanflash" fw.bin &
lf=$!

# The simulated machine exits once it has been told to run the image.
sim_status=0
wait "$sim" || sim_status=$?
sim=""
sleep 1
kill -INT "$lf"
lf_status=0
wait "$lf" || lf_status=$?
lf=""
echo
echo "== machine-sim's view of the wire:"
grep -E 'rx-cmd|block 0|eot|end-of-batch|run' sim.log | sed 's/^/   /'
blocks=$(grep -c 'ok len=' sim.log || true)
t_first=$(grep -m1 'block 0 name' sim.log | sed 's/^t=\([0-9]*\).*/\1/')
t_last=$(grep 'end-of-batch' sim.log | tail -1 | sed 's/^t=\([0-9]*\).*/\1/')
if [ -n "$t_first" ] && [ -n "$t_last" ] && [ "$blocks" -gt 0 ]; then
    echo "== transfer: $((t_last - t_first)) ms for $blocks data blocks, $(( (t_last - t_first) / blocks )) ms per block"
fi
echo "== update took $(( $(date +%s) - started )) s; lanflash ended with status $lf_status"
if [ "$sim_status" = 0 ] && cmp -s fw.bin received.bin; then
    echo "== RESULT: the machine's copy is identical to fw.bin (65536 bytes)"
else
    echo "== RESULT: the machine's copy DIFFERS from fw.bin (machine-sim status $sim_status)"
    exit 1
fi
