// The status page: one self-contained file (no file or script from
// elsewhere), which asks /api/status about once a second and draws it.
#include "serve.h"

extern const char kServePage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>lanflash</title>
<style>
body { font-family: system-ui, sans-serif; margin: 0; background: #f3f4f6; color: #1f2328; }
header { background: #1f2a44; color: #fff; padding: .6em 1em; display: flex; flex-wrap: wrap; gap: .4em 1.4em; align-items: baseline; }
header h1 { font-size: 1.2em; margin: 0; }
header .n { font-weight: bold; font-size: 1.15em; }
#rollout.stopped { color: #ff9a9a; font-weight: bold; }
main { padding: 1em; }
#tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(14em, 1fr)); gap: .6em; }
.tile { background: #fff; border-radius: 6px; padding: .5em .7em; border-left: 6px solid #9aa0a6; box-shadow: 0 1px 2px #0002; }
.tile.active { border-left-color: #2f6fd6; }
.tile.updated { border-left-color: #1a8f3c; }
.tile.failed, .tile.unconfirmed, .tile.missing { border-left-color: #c9252c; }
.tile.skipped { border-left-color: #c98a00; }
.addr { font-weight: bold; font-family: ui-monospace, monospace; }
.board, .phase, .blocks, .reason { font-size: .9em; color: #57606a; }
.bar { height: .5em; background: #dde1e6; border-radius: 3px; margin: .3em 0 .1em; }
.bar > div { height: 100%; background: #2f6fd6; border-radius: 3px; }
.result { font-weight: bold; }
.result.updated { color: #1a8f3c; }
.result.failed, .result.unconfirmed, .result.missing { color: #c9252c; }
.result.skipped { color: #a87300; }
#folded { color: #57606a; }
h2 { font-size: 1em; margin: 1.2em 0 .4em; }
#events { font-family: ui-monospace, monospace; font-size: .9em; padding-left: 1.5em; }
table { border-collapse: collapse; background: #fff; margin-bottom: .8em; }
th, td { padding: .15em .7em; text-align: left; border-bottom: 1px solid #e5e7eb; font-size: .9em; }
#error { color: #c9252c; }
</style>
</head>
<body>
<header>
<h1>lanflash</h1>
<span id="counts"></span>
<span id="rollout"></span>
<span id="clock"></span>
<span id="image"></span>
</header>
<main>
<p id="error"></p>
<div id="tiles"></div>
<p id="folded"></p>
<h2>Newest events</h2>
<ol id="events" reversed></ol>
<section id="history" hidden>
<h2>Today, from the station</h2>
<table id="per-image"></table>
<table id="newest"></table>
</section>
</main>
<script>
"use strict";
// With more machines than this, the tiles of those updated or skipped
// fold into the counts; failures keep theirs.
const FOLD_ABOVE = 100;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function clock(seconds) {
  const s = Math.floor(seconds), h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return h + ":" + String(m).padStart(2, "0") + ":" + String(s % 60).padStart(2, "0");
}

function tile(m) {
  const done = m.result !== null;
  const t = el("div", "tile " + (done ? m.result : m.phase === "waiting" ? "" : "active"));
  t.dataset.address = m.address;
  t.appendChild(el("div", "addr", m.address));
  t.appendChild(el("div", "board", (m.model || "?") + (m.serial !== null ? " · No " + m.serial : " · boot loader")));
  t.appendChild(el("div", "phase", m.phase + (m.tries > 1 ? " · try " + m.tries : "")));
  const bar = el("div", "bar"), fill = el("div");
  fill.style.width = (m.blocks_total ? Math.min(100, 100 * m.blocks / m.blocks_total) : 0) + "%";
  bar.appendChild(fill);
  t.appendChild(bar);
  t.appendChild(el("div", "blocks", m.blocks + " of " + m.blocks_total + " blocks"));
  if (done) {
    t.appendChild(el("div", "result " + m.result, m.result));
    if (m.reason) t.appendChild(el("div", "reason", m.reason));
  }
  return t;
}

function row(cells, tag) {
  const r = el("tr");
  for (const c of cells) r.appendChild(el(tag || "td", "", c === null ? "" : c));
  return r;
}

function render(s) {
  const c = s.counts;
  const counts = document.getElementById("counts");
  counts.replaceChildren();
  for (const [key, label] of [["updated", "updated"], ["failed", "failed"], ["unconfirmed", "unconfirmed"],
                              ["missing", "missing"], ["skipped", "skipped"], ["in_progress", "in progress"],
                              ["waiting", "waiting"]]) {
    const part = el("span", "count " + key);
    part.appendChild(el("span", "n", c[key]));
    part.appendChild(document.createTextNode(" " + label + "  "));
    counts.appendChild(part);
  }
  const r = s.rollout, rollout = document.getElementById("rollout");
  rollout.className = r.stopped ? "stopped" : "";
  rollout.textContent = r.stopped ? "rollout stopped: " + r.why
                      : r.canary ? "canary: " + r.canary_updated + " of " + r.canary + " updated" : "rollout going";
  document.getElementById("clock").textContent = "since the start " + clock(s.run_seconds);
  document.getElementById("image").textContent = s.image ? s.image.path + " (" + s.image.bytes + " bytes)" : "exploring";

  const fold = s.machines.length > FOLD_ABOVE;
  const tiles = [];
  let folded = 0;
  for (const m of s.machines) {
    if (fold && (m.result === "updated" || m.result === "skipped")) { folded++; continue; }
    tiles.push(tile(m));
  }
  document.getElementById("tiles").replaceChildren(...tiles);
  document.getElementById("folded").textContent = folded ? folded + " machines updated or skipped fold into the counts above" : "";

  document.getElementById("events").replaceChildren(
    ...s.events.slice().reverse().map(e => el("li", "", new Date(e.at).toTimeString().slice(0, 8) + "  " + e.text)));

  const h = s.history, section = document.getElementById("history");
  section.hidden = !h;
  if (h) {
    document.getElementById("per-image").replaceChildren(row(["image", "SHA-256", "result", "attempts"], "th"),
      ...h.per_image.map(p => row([p.image, p.image_sha256.slice(0, 12), p.result, p.count])));
    document.getElementById("newest").replaceChildren(row(["finished", "address", "model", "serial", "result", "reason"], "th"),
      ...h.newest.map(n => row([n.finished, n.address, n.model, n.serial, n.result, n.reason])));
  }
}

async function poll() {
  try {
    const answer = await fetch("/api/status", {cache: "no-store"});
    render(await answer.json());
    document.getElementById("error").textContent = "";
  } catch (e) {
    document.getElementById("error").textContent = "lanflash does not answer (" + e + ")";
  }
}
poll();
setInterval(poll, 1000);
</script>
</body>
</html>
)PAGE";
