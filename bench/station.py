#!/usr/bin/env python3
"""What a station costs: a 50-machine --fast run with --station and --serve
against the same run without them.

Usage: bench/station.py BUILD_DIR [--pairs N] [--json PATH]

One machine-sim plays 50 machines (--fleet 50 --address 127.0.1.1) for the
whole bench. Each pair of runs updates all 50 with a fresh 64 KiB image,
once as

    lanflash --all --model Tavix7 --fast --jobs 50 --exit --machine ... IMAGE

and once with --station FILE --serve 8080 added, while a client asks
/api/status ten times a second; which of the two goes first alternates. Each
run is timed from lanflash's start to its end. The figures: the median of
each, their ratio against the goal (1.05), the polls answered, and the
file's growth per attempt (every station run writes the same FILE, so its
schema's pages are counted once; measured after a checkpoint). Runs in a
private network namespace with loopback only (tests/e2e/in-netns).
"""
import argparse
import http.client
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
IN_NETNS = os.path.join(REPO, "tests", "e2e", "in-netns")

MACHINES = 50
FIRST = (127, 0, 1, 1)
SERIAL = 2001
IMAGE_BYTES = 64 * 1024
PORT = 8080
POLL_S = 0.1
GOAL_RATIO = 1.05
GOAL_ATTEMPT_BYTES = 1024
RUN_DEADLINE_S = 240


def addresses():
    base = (FIRST[0] << 24) | (FIRST[1] << 16) | (FIRST[2] << 8) | FIRST[3]
    return [".".join(str((base + i) >> s & 255) for s in (24, 16, 8, 0)) for i in range(MACHINES)]


def poller(stop, counts):
    """Asks /api/status ten times a second until stopped."""
    while not stop.is_set():
        started = time.monotonic()
        try:
            c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=2)
            c.request("GET", "/api/status")
            r = c.getresponse()
            body = r.read()
            c.close()
            ok = r.status == 200 and json.loads(body).get("machines") is not None
        except (OSError, ValueError, http.client.HTTPException):
            ok = False
        # Before lanflash listens (it loads the image and opens the file
        # first), a refused connection is no failure of the page.
        if ok:
            counts["answered"] += 1
        else:
            counts["failed" if counts["answered"] else "before_listening"] += 1
        stop.wait(max(0.0, POLL_S - (time.monotonic() - started)))


def run(build, work, image, station=None):
    """One run; its wall time in seconds, whether it updated all, and the polls."""
    cmd = [os.path.join(build, "lanflash"), "--all", "--model", "Tavix7", "--fast", "--jobs", str(MACHINES), "--exit"]
    for a in addresses():
        cmd += ["--machine", a]
    if station:
        cmd += ["--station", station, "--serve", str(PORT)]
    cmd.append(image)
    counts = {"answered": 0, "failed": 0, "before_listening": 0}
    stop = threading.Event()
    with open(os.path.join(work, "run.log"), "w") as log:
        started = time.monotonic()
        lf = subprocess.Popen(cmd, cwd=work, stdout=log, stderr=subprocess.STDOUT)
        poll = threading.Thread(target=poller, args=(stop, counts), daemon=True) if station else None
        if poll:
            poll.start()
        try:
            status = lf.wait(timeout=RUN_DEADLINE_S)
        except subprocess.TimeoutExpired:
            lf.kill()
            status = lf.wait()
        took = time.monotonic() - started
    stop.set()
    if poll:
        poll.join()
    out = open(os.path.join(work, "run.log")).read()
    updated = sum(1 for line in out.splitlines() if line.startswith("result: ") and line.endswith(" updated"))
    return {"seconds": round(took, 3), "status": status, "updated": updated, "polls": counts}


def attempt_bytes(db, attempts_before, size_before):
    """The file's size and attempts after a checkpoint, and the growth per attempt since."""
    con = sqlite3.connect(db)
    con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    attempts = con.execute("SELECT count(*) FROM attempts").fetchone()[0]
    pages, page_size = con.execute("PRAGMA page_count").fetchone()[0], con.execute("PRAGMA page_size").fetchone()[0]
    con.close()
    size = pages * page_size
    per = (size - size_before) / (attempts - attempts_before) if attempts > attempts_before else None
    return size, attempts, per


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build")
    ap.add_argument("--pairs", type=int, default=3)
    ap.add_argument("--json")
    args = ap.parse_args()
    if os.environ.get("LANFLASH_IN_NETNS") != "1":
        os.execv(IN_NETNS, [IN_NETNS, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="lanflash-station-bench-")
    db = os.path.join(work, "line.db")
    sim = subprocess.Popen([os.path.join(build, "machine-sim"), "--fleet", str(MACHINES), "--address",
                            ".".join(map(str, FIRST)), "--serial", str(SERIAL)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    plain, with_station = [], []
    size_first = attempts_first = None
    try:
        time.sleep(1.5)  # every machine has announced before the first clock runs
        for pair in range(args.pairs):
            image = os.path.join(work, f"fw{pair}.bin")
            with open(image, "wb") as f:
                f.write(os.urandom(IMAGE_BYTES))
            order = ["plain", "station"] if pair % 2 == 0 else ["station", "plain"]
            for kind in order:
                print(f"bench: station, pair {pair + 1} of {args.pairs}, {kind} ...", file=sys.stderr, flush=True)
                if kind == "plain":
                    plain.append(run(build, work, image))
                else:
                    with_station.append(run(build, work, image, db))
                    if size_first is None:
                        size_first, attempts_first, _ = attempt_bytes(db, 0, 0)
                time.sleep(1.5)  # the machines announce their new application
        size, attempts, per_attempt = attempt_bytes(db, attempts_first, size_first)
    finally:
        sim.terminate()
        sim.wait()
    med_plain = statistics.median(r["seconds"] for r in plain)
    med_station = statistics.median(r["seconds"] for r in with_station)
    ratio = round(med_station / med_plain, 3)
    complete = all(r["status"] == 0 and r["updated"] == MACHINES for r in plain + with_station)
    result = {
        "machines": MACHINES, "image_bytes": IMAGE_BYTES, "pairs": args.pairs,
        "plain_s": [r["seconds"] for r in plain], "station_s": [r["seconds"] for r in with_station],
        "plain_median_s": med_plain, "station_median_s": med_station,
        "ratio": ratio, "goal_ratio": GOAL_RATIO, "ratio_met": ratio <= GOAL_RATIO,
        "polls_answered": sum(r["polls"]["answered"] for r in with_station),
        "polls_failed": sum(r["polls"]["failed"] for r in with_station),
        "file_bytes": size, "attempts": attempts,
        "bytes_per_attempt": round(per_attempt, 1) if per_attempt else None,
        "goal_bytes_per_attempt": GOAL_ATTEMPT_BYTES,
        "all_updated": complete,
        "runs": {"plain": plain, "station": with_station},
    }
    print(f"{'run (50 machines, --fast, 64 KiB)':<44} {'median s':>9}  each s")
    print(f"{'without --station and --serve':<44} {med_plain:>9.3f}  {result['plain_s']}")
    print(f"{'with --station, --serve, /api/status at 10/s':<44} {med_station:>9.3f}  {result['station_s']}")
    print(f"ratio {ratio} (goal <= {GOAL_RATIO}: {'met' if result['ratio_met'] else 'MISSED'}); "
          f"polls answered {result['polls_answered']}, failed {result['polls_failed']}; "
          f"every machine updated in every run: {complete}")
    if not complete:
        for kind, runs in (("without", plain), ("with", with_station)):
            for r in runs:
                print(f"  {kind}: {r['seconds']} s, status {r['status']}, {r['updated']} of {MACHINES} updated")
    print(f"file: {size} bytes for {attempts} attempts; {result['bytes_per_attempt']} bytes per attempt "
          f"beyond the first run's (goal about {GOAL_ATTEMPT_BYTES})")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
