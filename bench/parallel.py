"""Section parallel: 1, 5, 20 and 50 machine-sims in their application at
once (lanflash --all --jobs 50), each against one update, with the memory and
CPU of lanflash and its workers together. Results: a list in res["parallel"],
to which the lists section adds its row."""
import runner
from fleet import FLEET_IMAGE_BYTES, image, run_fleet
from runner import fmt, goal

NAME = "parallel"
PARALLEL_COUNTS = [1, 5, 20, 50]
PARALLEL_JOBS = 50
PARALLEL_ADDRESSES = [f"127.0.1.{1 + i}" for i in range(max(PARALLEL_COUNTS))]
PARALLEL_SERIALS = [str(2001 + i) for i in range(max(PARALLEL_COUNTS))]
GOAL_PARALLEL_RATIO = {20: 1.5, 50: 2.0}
GOAL_WORKER_RSS_KIB = 4096


def steps(ctx):
    img = image(ctx)
    out = []
    for n in ctx.parallel_counts:
        # Many machines at once keep the two cores busy, which would disturb a row beside them: alone.
        out.append(runner.Step(f"parallel{n}", lambda n=n: run_fleet(
            ctx, img, f"parallel{n}", PARALLEL_ADDRESSES[:n], PARALLEL_SERIALS[:n],
            ["--all", "--model", "Tavix7", "--jobs", str(PARALLEL_JOBS)])))
    return out


def collect(ctx, res, got):
    res.setdefault("parallel", [])
    runs = [got[f"parallel{n}"] for n in ctx.parallel_counts]
    for run in runs:
        res["parallel"].append(parallel_figures(got["one_update"], run))
    return runs


def problems(res):
    return []


def parallel_figures(one, run):
    """One machine count of the parallel run against the one update measured by the fleet."""
    n = run["machines_count"]
    tree = run.get("tree", {})
    machines = run.get("machines", [])
    out = {"machines": n, "jobs": PARALLEL_JOBS, "image_bytes": FLEET_IMAGE_BYTES,
           "total_ms": run.get("total_ms"), "one_update_ms": one.get("total_ms"), "ratio_to_one_update": None,
           "all_updated": bool(run.get("all_updated")), "images_intact": bool(run.get("intact")),
           "peak_workers_at_once": tree.get("peak_workers"),
           "peak_rss_together_kib": tree.get("peak_rss_kib"), "peak_rss_per_machine_kib": None,
           "pss_at_peak_kib": tree.get("pss_at_peak_kib"),
           "largest_worker_peak_rss_kib": tree.get("largest_worker_hwm_kib"),
           "lanflash_peak_rss_kib": tree.get("lanflash_hwm_kib"),
           "cpu_s": tree.get("cpu_s"), "cpu_s_per_machine": None,
           "lanflash_own_cpu_s": tree.get("lanflash_own_cpu_s"),
           "workers_left_running": len(tree.get("workers_left", [])),
           "run": run}
    if out["total_ms"] and out["one_update_ms"]:
        out["ratio_to_one_update"] = round(out["total_ms"] / out["one_update_ms"], 3)
    if out["peak_rss_together_kib"]:
        out["peak_rss_per_machine_kib"] = round(out["peak_rss_together_kib"] / n)
    if out["cpu_s"] is not None:
        out["cpu_s_per_machine"] = round(out["cpu_s"] / n, 3)
    # The latest machine at each step: a slow start shows as a late first reset.
    for key in ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms"):
        seen = [m[key] for m in machines if m.get(key) is not None]
        out["last_" + key] = max(seen) if len(seen) == n else None
    return out



def render_parallel_counts(entries, lines):
    if not entries:
        return
    n_max = max(e["machines"] for e in entries)
    lines.append("")
    lines.append(f"Parallel: {FLEET_IMAGE_BYTES // 1024} KiB image, machine-sims started in their application "
                 f"at {PARALLEL_ADDRESSES[0]} ... {PARALLEL_ADDRESSES[n_max - 1]}, "
                 f"lanflash --all --jobs {PARALLEL_JOBS} --exit --machine ADDRESS...; one run each")
    lines.append(f"  against one update (the fleet's one machine): {fmt(entries[0]['one_update_ms'])} ms")
    cols = [("", "machines", "machines", "{:.0f}", 8),
            ("total", "(ms)", "total_ms", "{:.0f}", 8),
            ("/ one", "update", "ratio_to_one_update", "{:.3f}", 8),
            ("updated,", "intact", None, None, 9),
            ("workers", "at once", "peak_workers_at_once", "{:.0f}", 8),
            ("peak RSS", "together", "peak_rss_together_kib", "{:.0f}", 10),
            ("(KiB)", "/machine", "peak_rss_per_machine_kib", "{:.0f}", 9),
            ("Pss at", "peak", "pss_at_peak_kib", "{:.0f}", 8),
            ("largest", "worker", "largest_worker_peak_rss_kib", "{:.0f}", 8),
            ("CPU", "(s)", "cpu_s", "{:.2f}", 7),
            ("CPU s", "/machine", "cpu_s_per_machine", "{:.3f}", 9)]
    lines.append("  " + "".join(f"{h:>{w}}" for h, _, _, _, w in cols))
    lines.append("  " + "".join(f"{h:>{w}}" for _, h, _, _, w in cols))
    for e in entries:
        cells = []
        for _, _, key, form, w in cols:
            if key is None:
                cells.append(f"{('yes' if e['all_updated'] and e['images_intact'] else 'NO'):>{w}}")
            else:
                cells.append(f"{fmt(e.get(key), form):>{w}}")
        lines.append("  " + "".join(cells))
    lines.append("  the latest machine, ms after the first announcement: reset, block 0, '3', application announces")
    for e in entries:
        steps = ", ".join(fmt(e.get("last_" + k)) for k in
                          ("reset_ms", "block0_ms", "run_ms", "confirming_announce_ms"))
        lines.append(f"    {e['machines']:>2} machines  {steps}")
    lines.append("  RSS together sums every process of the tree, so the C library's shared pages count once per")
    lines.append("  process; Pss shares them out. CPU: lanflash and its reaped workers (wait4).")


def render(res, lines):
    render_parallel_counts([e for e in res.get("parallel") or [] if "selection" not in e], lines)


def goals(res, out):
    entries = [e for e in res.get("parallel") or [] if "selection" not in e]
    if not entries:
        return
    for e in entries:
        limit = GOAL_PARALLEL_RATIO.get(e["machines"])
        if limit is None:
            continue
        r = e["ratio_to_one_update"]
        out.append(goal(f"{e['machines']} machines at once in at most {limit:g} x one update",
                        r is not None and r <= limit,
                        f"{fmt(e['total_ms'])} ms / {fmt(e['one_update_ms'])} ms = {fmt(r, '{:.3f}')}"))
    missed = [str(e["machines"]) for e in entries if not (e["all_updated"] and e["images_intact"])]
    out.append(goal("every machine updated, every image intact, at "
                    + ", ".join(str(e["machines"]) for e in entries) + " machines",
                    not missed, "yes" if not missed else "not at " + ", ".join(missed) + " machines"))
    worker = [e["largest_worker_peak_rss_kib"] for e in entries if e["largest_worker_peak_rss_kib"]]
    out.append(goal(f"largest worker peak RSS <= {GOAL_WORKER_RSS_KIB} KiB",
                    bool(worker) and max(worker) <= GOAL_WORKER_RSS_KIB,
                    f"{max(worker)} KiB" if worker else "no worker seen"))
