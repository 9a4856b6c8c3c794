#!/usr/bin/env python3
"""What an update costs: lanflash against its own fixed waits and against lrzsz.

Usage: bench/run.py BUILD_DIR [--json PATH] [--only updates,fleet,parallel,lists,fast,crowd]
                    [--image-kib N] [--wait-s S] [--parallel-counts 1,5,20,50|none]
                    [--list-machines 300] [--side-by-side 2]

The sections, each in a file of its own beside this one: updates (one machine
in its boot loader, three ways, against lrzsz's sz --ymodem), fleet (five
machines one after the other), parallel (1 to 50 at once), lists (300 named by
--machines FILE), fast (--fast against the design) and crowd (among 1000 and
2000 announcers). runner.py holds what they share; constants.py reads
lanflash's own waits and polls from its sources. --only runs some sections,
in their usual order; fleet and parallel both measure the one update they are
held against.

Rows that sleep through lanflash's fixed waits (marked quiet in their
section) run first, --side-by-side of them at a time, each in a network
namespace of its own; the others run alone after them. --side-by-side 1 runs
every row alone.

BUILD_DIR holds lanflash, machine-sim and no_nodelay.so (make bench builds
all three). Everything runs in a private network namespace with loopback
only. Prints a table and writes the same figures as JSON (default:
BUILD_DIR/bench-results.json).
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

import crowd
import fast
import fleet
import lists
import parallel
import runner
import updates

SECTIONS = [updates, fleet, parallel, lists, fast, crowd]


class Context:
    def __init__(self, build, work, args, counts):
        self.build, self.work, self.args = build, work, args
        self.image_bytes = args.image_kib * 1024
        self.data_blocks = (self.image_bytes + runner.BLOCK_BYTES - 1) // runner.BLOCK_BYTES
        self.parallel_counts = counts
        self._images = {}

    def image(self, name, size):
        """A random image of SIZE bytes, made once and shared by the sections."""
        if name not in self._images:
            self._images[name] = runner.write_image(os.path.join(self.work, name), size)
        return self._images[name]


def main():
    names = [s.NAME for s in SECTIONS]
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build")
    ap.add_argument("--json", help="where the figures go (default BUILD/bench-results.json)")
    ap.add_argument("--image-kib", type=int, default=1024)
    ap.add_argument("--wait-s", type=float, default=30.0, help="idle wait measured before the first update")
    ap.add_argument("--only", default=",".join(names),
                    help="comma-separated sections to run, of " + ", ".join(names) + " (default all); "
                         "fleet and parallel both measure the one update they are held against")
    ap.add_argument("--parallel-counts", default=",".join(str(n) for n in parallel.PARALLEL_COUNTS),
                    help=f"machine counts of the parallel section, each at most {len(parallel.PARALLEL_ADDRESSES)}; "
                         "none: no row")
    ap.add_argument("--list-machines", type=int, default=lists.LIST_MACHINES,
                    help=f"machines of the lists section (default {lists.LIST_MACHINES}, "
                         "at most 65000; 0 leaves the row out)")
    ap.add_argument("--side-by-side", type=int, default=2,
                    help="quiet rows run at once, each in its own network namespace (default 2; 1: all alone)")
    args = ap.parse_args()
    only = set(args.only.split(","))
    counts = [] if args.parallel_counts == "none" else [int(n) for n in args.parallel_counts.split(",")]
    if not only <= set(names) or not all(1 <= n <= len(parallel.PARALLEL_ADDRESSES) for n in counts):
        ap.error(f"--only takes {', '.join(names)}; --parallel-counts 1 to {len(parallel.PARALLEL_ADDRESSES)}")
    if not 0 <= args.list_machines <= 65000:
        ap.error("--list-machines takes 0 to 65000")
    if args.side_by_side < 1:
        ap.error("--side-by-side takes 1 or more")

    runner.enter_netns([os.path.abspath(__file__)] + sys.argv[1:])

    build = os.path.abspath(args.build)
    for need in ("lanflash", "machine-sim", "no_nodelay.so"):
        if not os.path.exists(os.path.join(build, need)):
            sys.exit(f"bench: {os.path.join(build, need)} is missing; run `make bench`")
    for tool in ("sz", "socat", "ip"):
        if shutil.which(tool) is None:
            sys.exit(f"bench: {tool} is missing; `make bench` installs it (Debian packages lrzsz, socat)")
    json_path = args.json or os.path.join(build, "bench-results.json")

    sections = [s for s in SECTIONS if s.NAME in only]
    t0 = time.monotonic()
    res = {"image_bytes": args.image_kib * 1024, "machine": runner.machine_info(), "load_before": runner.loadavg(),
           "machine_sim_start_state": "boot", "floor_ms_per_block": updates.FLOOR_MS_PER_BLOCK, "runs": {},
           "sections": [s.NAME for s in sections], "side_by_side": args.side_by_side}
    checked = []  # machine runs whose every machine must be updated with its image intact
    with tempfile.TemporaryDirectory(prefix="lanflash-bench-") as work:
        ctx = Context(build, work, args, counts if parallel in sections else [])
        res["data_blocks"] = ctx.data_blocks
        steps = []
        if fleet in sections or ctx.parallel_counts:
            steps.append(fleet.one_update_step(ctx))
        for section in sections:
            steps.extend(section.steps(ctx))
        got, res["steps"] = runner.run_steps(steps, args.side_by_side)
        if "one_update" in got:
            checked.append(got["one_update"])
            if fleet not in sections:
                res["one_update"] = got["one_update"]
        for section in sections:
            checked.extend(section.collect(ctx, res, got))
    res["load_after"] = runner.loadavg()
    res["elapsed_s"] = round(time.monotonic() - t0, 1)
    res["lanflash_constants"] = runner.LF.used
    res["goals"] = []
    for section in sections:
        section.goals(res, res["goals"])
    table = runner.render(res, sections)
    res["table"] = table.splitlines()
    runner.write_json(json_path, res)
    print(table)
    print(f"\n(figures also in {json_path})")
    bad = []
    for section in sections:
        bad.extend(section.problems(res))
    for run in checked:
        if not run.get("all_updated") or not run.get("intact") or run.get("error"):
            bad.append(run["label"])
    if bad:
        print("bench: runs that did not complete: " + ", ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
