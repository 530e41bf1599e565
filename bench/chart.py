"""Bar chart of bench/compare.py's results: arbolite against lxml, ElementTree and xmltodict.

    python bench/chart.py --from results.json --out chart.png    # draw a saved run
    python bench/chart.py --out chart.png -- --quick              # run compare.py (arguments after --) and draw it

Five panels: arbolite's median per-file ratio against each peer per measure
(log scale, above 1 means arbolite is ahead; memory is the peer's bytes per
element over arbolite's), with the goals marked; bytes per element; the same
against the fastest readers (the pugixml DOM's bindings and the native
xmltodict look-alikes), row by row; the two-thread speed-up per library with
the machine's own (hashlib) as reference; the native parse per file against
memchr. Needs matplotlib (a development
dependency only).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = ["lxml", "ElementTree", "xmltodict"]
COLORS = {"lxml": "#4c72b0", "ElementTree": "#55a868", "xmltodict": "#c44e52", "arbolite": "#dd8452",
          "hashlib": "#8c8c8c"}
LABELS = {"read": "read_string", "walk": "read + walk", "write": "write_string\n(own output MB/s)",
          "dict": "read_dict", "search": "search_by_name", "memory": "memory\n(peer B / arbolite B)"}
GOALS = {"read": ("lxml", 4.0), "walk": ("lxml", 3.5), "write": ("lxml", 4.0), "dict": ("xmltodict", 10.0),
         "search": ("ElementTree", 3.0)}


def ratios_panel(ax, results):
    measures = [m for m in LABELS if results.get(m) and results[m].get("median_ratio")]
    width = 0.8 / len(PEERS)
    for i, peer in enumerate(PEERS):
        xs, ys = [], []
        for j, m in enumerate(measures):
            r = results[m]["median_ratio"].get(peer)
            if r is not None:
                xs.append(j + (i - (len(PEERS) - 1) / 2) * width)
                ys.append(r)
        bars = ax.bar(xs, ys, width, label=f"vs {peer}", color=COLORS[peer])
        for b, y in zip(bars, ys):
            ax.annotate(f"{y:.2g}", (b.get_x() + b.get_width() / 2, y), ha="center", va="bottom", fontsize=7)
    for j, m in enumerate(measures):
        if m in GOALS:
            peer, goal = GOALS[m]
            x = j + (PEERS.index(peer) - (len(PEERS) - 1) / 2) * width
            ax.plot([x - width / 2, x + width / 2], [goal, goal], color="red", linewidth=2)
    ax.plot([], [], color="red", linewidth=2, label="goal")
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(measures)), [LABELS[m] for m in measures], fontsize=8)
    ax.set_ylabel("arbolite advantage (x, median of per-file ratios)")
    ax.set_title("arbolite vs peers (above 1: arbolite ahead)")
    ax.legend(fontsize=8)


def memory_panel(ax, results):
    mem = results.get("memory") or {}
    med = mem.get("median_bytes_per_element")
    if not med:
        ax.set_axis_off()
        return
    libs = list(med)
    bars = ax.bar(libs, [med[k] for k in libs], color=[COLORS.get(k, "#999") for k in libs])
    for b, k in zip(bars, libs):
        ax.annotate(f"{med[k]:.0f}", (b.get_x() + b.get_width() / 2, med[k]), ha="center", va="bottom", fontsize=8)
    ax.axhline(200, color="red", linewidth=2, label="goal for arbolite (<= 200)")
    ax.set_ylabel("bytes per element (median file)")
    ax.set_title("memory held by the tree")
    ax.legend(fontsize=8)


def threads_panel(ax, results):
    th = results.get("threads") or {}
    sp = th.get("speedup")
    if not sp:
        ax.set_axis_off()
        return
    libs = list(sp)
    bars = ax.bar(libs, [sp[k] for k in libs], color=[COLORS.get(k, "#999") for k in libs])
    for b, k in zip(bars, libs):
        ax.annotate(f"{sp[k]:.2f}", (b.get_x() + b.get_width() / 2, sp[k]), ha="center", va="bottom", fontsize=8)
    ax.axhline(1.9, color="red", linewidth=2, label="goal for arbolite (>= 1.9)")
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_ylim(0, 2.2)
    ax.set_ylabel("speed-up, two threads vs one")
    doc = th.get("document", {})
    ax.set_title(f"two reads of {doc.get('bytes', 0) / 1e6:.0f} MB each (hashlib: the machine's own)", fontsize=10)
    ax.legend(fontsize=8)


def native_panel(ax, results):
    nat = results.get("native") or {}
    rows = [r for r in nat.get("rows", []) if r.get("status") == "ok"]
    if not rows:
        ax.set_axis_off()
        return
    names = [r["file"] for r in rows]
    x = range(len(rows))
    ax.bar([i - 0.2 for i in x], [r["parse_MBps"] for r in rows], 0.4, label="parse", color=COLORS["arbolite"])
    ax.bar([i + 0.2 for i in x], [r["memchr_MBps"] for r in rows], 0.4, label="memchr (absent byte)",
           color=COLORS["hashlib"])
    ax.axhline(1500, color="red", linewidth=2, label="goal: 1.5 GB/s on the median file")
    ax.set_yscale("log")
    ax.set_ylim(top=max(r["memchr_MBps"] for r in rows) * 30)  # room for the legend above the bars
    ax.set_xticks(list(x), names, rotation=45, ha="right", fontsize=7)
    ax.set_ylabel("MB/s")
    ax.set_title(f"native parse (median over files {nat.get('median_parse_MBps', 0):.0f} MB/s)", fontsize=10)
    ax.legend(fontsize=8)


def fastest_panel(ax, results):
    """The fastest readers a Python user can install (compare.py's peers measure): arbolite's median per-file ratio
    against each, per row, with the row's goal."""
    summary = (results.get("peers") or {}).get("summary")
    if not summary:
        ax.set_axis_off()
        return
    goals = {s["label"]: s["goal"] for s in results.get("summary", []) if s.get("measure") == "peers"}
    rows = list(summary)
    peers = []
    for by_peer in summary.values():
        peers += [p for p in by_peer if p not in peers and p != "arbolite to_dict"]
    colors = plt.get_cmap("tab10")
    width = 0.85 / max(len(by_peer) for by_peer in summary.values())
    for j, row in enumerate(rows):
        present = [p for p in peers if p in summary[row]]
        for i, peer in enumerate(present):
            x = j + (i - (len(present) - 1) / 2) * width
            y = summary[row][peer][0]
            ax.bar([x], [y], width, color=colors(peers.index(peer) % 10),
                   label=peer if peer not in ax.get_legend_handles_labels()[1] else None)
            ax.annotate(f"{y:.2g}", (x, y), ha="center", va="bottom", fontsize=7)
        if row in goals:
            half = len(present) * width / 2
            ax.plot([j - half, j + half], [goals[row], goals[row]], color="red", linewidth=2)
    ax.plot([], [], color="red", linewidth=2, label="goal (against every peer)")
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(rows)), rows, fontsize=9)
    ax.set_ylabel("arbolite advantage (x, median of per-file ratios)")
    ax.set_title("against the fastest readers a Python user can install (above 1: arbolite ahead)")
    ax.legend(fontsize=8, ncol=4)


def draw(results, out):
    fig = plt.figure(figsize=(14, 15))
    grid = fig.add_gridspec(3, 2)
    ratios_panel(fig.add_subplot(grid[0, 0]), results)
    memory_panel(fig.add_subplot(grid[0, 1]), results)
    fastest_panel(fig.add_subplot(grid[1, :]), results)
    threads_panel(fig.add_subplot(grid[2, 0]), results)
    native_panel(fig.add_subplot(grid[2, 1]), results)
    meta = results.get("meta", {})
    fig.suptitle(f"arbolite {meta.get('commit', '')} - Python {meta.get('python', '')}, lxml {meta.get('lxml', '')}, "
                 f"{meta.get('cpus', '?')} CPUs, load average {meta.get('load_before', '?')} at start, "
                 f"{meta.get('load_after', '?')} at end", fontsize=11)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def main():
    argv = sys.argv[1:]
    passthrough = []
    if "--" in argv:
        i = argv.index("--")
        argv, passthrough = argv[:i], argv[i + 1:]
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--from", dest="source", help="a JSON file written by compare.py --json")
    p.add_argument("--out", required=True, help="the PNG to write")
    a = p.parse_args(argv)
    if a.source:
        with open(a.source) as f:
            results = json.load(f)
    else:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "results.json")
            subprocess.run([sys.executable, os.path.join(HERE, "compare.py"), "--json", path] + passthrough,
                           check=True)
            with open(path) as f:
                results = json.load(f)
    draw(results, a.out)
    print(f"wrote {a.out}")


if __name__ == "__main__":
    main()
