"""arbolite against lxml, ElementTree and xmltodict on every corpus file, side by side in one process.

    python bench/compare.py                       # everything (about 15 minutes on 2 busy cores)
    python bench/compare.py --quick               # a smoke run
    python bench/compare.py --only read,write --files 'cldr*,iso*'
    python bench/compare.py --json out.json       # the results as JSON as well (bench/chart.py draws them)

Measures (names for --only): read, small, walk, write, compact, dict, search, findall, memory, threads, native, peers
(the pugixml DOM's bindings and the native xmltodict look-alikes: bench/peers.py).

How it measures:
- Every library's calls alternate within each round (the order rotates from
  round to round) and each figure is the median of the rounds, so outside load
  hits all of them alike. Only the call is timed; inputs are made before it and
  results released after it.
- Each call gets fresh input: arbolite and xmltodict a str that has never been
  encoded (a str caches its UTF-8 form on first use, which would hide the
  encoding a real caller pays for; each copy is checked), lxml and ElementTree
  a new bytes object.
- MB/s is document bytes (UTF-8) per second, except for writing, where each
  library's own output size counts. Ratios are arbolite's speed over the peer's,
  per file; the summary gives their median over the files.
- A file that lxml cannot read is reported as not well-formed and skipped.
- findall runs the same queries in each library (bench/common.py findall_paths) with the processor's caches
  overwritten before each call (common.Evict), so every tree is read from memory; its ratio per file is the
  median over the queries.
- compact writes the same tree without white space in each library: lxml and ElementTree read arbolite's
  compact output, so all three hold the same content and write it back.
- Memory runs one fresh interpreter per library and file (bench/common.py).
- The native parse comes from a separate C++ program, built by
      cmake -S . -B build/bench -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_BENCH=ON
      cmake --build build/bench -j2 --target parse_bench
  and run when present (--native PATH; default build/bench/parse_bench).

The machine may be shared: the load average is printed at the start and end.
Compare libraries within one run, never figures across runs.
"""
import sys

if sys.version_info < (3, 12):
    sys.exit(f"bench/compare.py needs CPython 3.12 or later; this is {sys.version.split()[0]} ({sys.executable})")

import argparse  # noqa: E402
import datetime  # noqa: E402
import fnmatch  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import xml.etree.ElementTree as ET  # noqa: E402

import arbolite  # noqa: E402
import peers  # noqa: E402
from common import (CORPUS, Case, Evict, FreshText, clark_name, count_elements, corpus_files,  # noqa: E402
                    findall_paths, fresh_bytes, from_root_element, interleaved, memory_held, most_common_name,
                    root_tag, spread, table, walk_arbolite, walk_etree, well_formed)

try:
    import lxml.etree as LET
    import xmltodict
except ImportError:
    sys.exit("bench/compare.py needs lxml and xmltodict: pip install lxml xmltodict")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MEASURES = ["read", "small", "walk", "write", "compact", "dict", "parse_dict", "unparse_dict", "search", "findall",
            "memory", "threads", "native", "peers"]
GOALS = {  # measure: (peer, goal, "min" or "max")
    "read": ("lxml", 4.0, "min"),
    "small": (None, 0.5, "min"),
    "walk": ("lxml", 3.5, "min"),
    "write": ("lxml", 4.0, "min"),
    "compact": ("lxml", 4.0, "min"),
    "dict": ("xmltodict", 10.0, "min"),
    "parse_dict": ("xmltodict", 10.0, "min"),
    "unparse_dict": ("xmltodict", 5.0, "min"),
    "search": ("ElementTree", 3.0, "min"),
    "findall": ("ElementTree", 3.0, "min"),
    "memory": (None, 200.0, "max"),
    "threads": (None, 1.9, "min"),
    "native": (None, 1500.0, "min"),
}
# peers: the lowest median ratio over the peers of each row, and its goal.
PEER_GOALS = {"parse bytes": 1.3, "parse str": 1.3, "parse + walk": 1.0, "to dict": 2.0, "find by name": 1.0}


class Doc:
    def __init__(self, name, text):
        self.name = name
        self.path = os.path.join(CORPUS, name)
        self.text = text
        self.data = text.encode("utf-8")
        self.mb = len(self.data) / 1e6
        self.tag = root_tag(text)
        self.problem = well_formed(self.data)
        self.elements = None if self.problem else count_elements(self.data)


def med(xs):
    return statistics.median(xs)


def f1(x):
    return f"{x:.1f}"


def fx(x):
    return f"{x:.2f}x"


def returning(walk):
    """Walk the tree and hand it back, so its release falls outside the timing."""
    def run(tree):
        walk(tree)
        return tree
    return run


def speed_rows(doc, cases, sizes, rounds, min_time, peers):
    """Run cases interleaved; MB/s per library from sizes[label] (bytes), ratios of arbolite to each peer."""
    samples = interleaved(cases, rounds, min_time)
    seconds = {k: med(v) for k, v in samples.items()}
    mbps = {k: sizes[k] / 1e6 / s for k, s in seconds.items()}
    return {
        "file": doc.name,
        "seconds": seconds,
        "MBps": mbps,
        "ratio": {p: mbps["arbolite"] / mbps[p] for p in peers},
        "time_ratio": {p: seconds[p] / seconds["arbolite"] for p in peers},
        "spread": {k: spread(v) for k, v in samples.items()},
        "samples": samples,
    }


def medians(rows, key="ratio"):
    peers = rows[0][key].keys() if rows else []
    return {p: med([r[key][p] for r in rows]) for p in peers}


def spread_line(rows):
    libs = rows[0]["spread"].keys() if rows else []
    parts = [f"{lib} {100 * med([r['spread'][lib] for r in rows]):.0f}%" for lib in libs]
    print(f"round-to-round spread (interquartile range / median, median over files): {', '.join(parts)}")


def measure_read(docs, a):
    print("\n## read: arbolite.read_string(fresh str, root) vs lxml.etree.fromstring(bytes) and ElementTree.fromstring(bytes)")
    rows = []
    for d in docs:
        fresh = FreshText(d.text)
        warm = fresh()
        arbolite.read_string(warm, d.tag)  # now carries its UTF-8 form
        cases = [
            Case("arbolite", lambda s, d=d: arbolite.read_string(s, d.tag), fresh),
            Case("lxml", LET.fromstring, lambda d=d: fresh_bytes(d.data)),
            Case("ElementTree", ET.fromstring, lambda d=d: fresh_bytes(d.data)),
            # For reference only: what a reused str would show.
            Case("arbolite cached", lambda _, d=d, warm=warm: arbolite.read_string(warm, d.tag)),
        ]
        size = len(d.data)
        rows.append(speed_rows(d, cases, dict.fromkeys(("arbolite", "lxml", "ElementTree", "arbolite cached"), size),
                               a.rounds, a.min_time, ["lxml", "ElementTree"]))
    table(["file", "MB", "arbolite MB/s", "lxml MB/s", "ElementTree MB/s", "vs lxml", "vs ElementTree",
           "arbolite, UTF-8 cached MB/s"],
          [[r["file"], f"{d.mb:.2f}", f1(r["MBps"]["arbolite"]), f1(r["MBps"]["lxml"]), f1(r["MBps"]["ElementTree"]),
            fx(r["ratio"]["lxml"]), fx(r["ratio"]["ElementTree"]), f1(r["MBps"]["arbolite cached"])]
           for r, d in zip(rows, docs)])
    m = medians(rows)
    print(f"median of per-file ratios: vs lxml {fx(m['lxml'])}, vs ElementTree {fx(m['ElementTree'])}")
    cached = med([r["MBps"]["arbolite cached"] / r["MBps"]["lxml"] for r in rows])
    print(f"(last column: the same str read again, its UTF-8 form cached by the first read - what a benchmark that "
          f"reuses one str would report, {cached:.2f}x lxml; no real caller reads an already-encoded str; not in the "
          f"summary)")
    spread_line(rows)
    return {"rows": rows, "median_ratio": m}


SMALL_SIZES = (2_000, 40_000, 4_000_000)


def sized_documents(root, sizes):
    """The root with as many of its children (in order, repeated as needed) as make about each size in bytes,
    compact; children wider than half the smallest size are left out where others fit, so every size has one shape
    and the smallest is near its size."""
    kids = root.children
    widths = [len(arbolite.write_string(k, default_xml_def=False, pretty=False).encode()) for k in kids]
    fitting = [(k, w) for k, w in zip(kids, widths) if 2 * w <= min(sizes)]
    if fitting:
        kids, widths = [k for k, _ in fitting], [w for _, w in fitting]
    out = {}
    for size in sizes:
        chosen, total, i = [], 0, 0
        while total < size and kids:
            chosen.append(kids[i % len(kids)])
            total += widths[i % len(kids)]
            i += 1
        out[size] = arbolite.write_string(arbolite.Node(root.name, root.attrs, chosen), default_xml_def=False,
                                          pretty=False).encode()
    return out


def measure_small(docs, a):
    print("\n## small: arbolite.read_string(fresh bytes) of one file's shape at 2 KB, 40 KB and 4 MB (its root and as "
          "many of its children as make the size, compact; the same children at every size, none wider than 1 KB "
          "where any is that narrow), and the file itself; lxml.etree.fromstring at 2 KB and 4 MB for reference")
    rows = []
    for d in docs:
        root = arbolite.read_string(d.data, d.tag)
        if len(root.children) < 2:
            continue
        inputs = {f"{s // 1000} KB" if s < 1_000_000 else f"{s // 1_000_000} MB": x
                  for s, x in sized_documents(root, SMALL_SIZES).items()}
        inputs["file"] = d.data
        cases = [Case(label, lambda b, d=d: arbolite.read_string(b, d.tag), lambda x=x: fresh_bytes(x))
                 for label, x in inputs.items()]
        cases += [Case(f"lxml {label}", LET.fromstring, lambda x=inputs[label]: fresh_bytes(x))
                  for label in ("2 KB", "4 MB")]
        sizes = {label: len(x) for label, x in inputs.items()}
        sizes.update({f"lxml {label}": sizes[label] for label in ("2 KB", "4 MB")})
        samples = interleaved(cases, a.rounds, a.min_time)
        mbps = {k: sizes[k] / 1e6 / med(v) for k, v in samples.items()}
        rows.append({"file": d.name, "bytes": sizes, "MBps": mbps,
                     "ratio_2k": mbps["2 KB"] / mbps["4 MB"], "ratio_40k": mbps["40 KB"] / mbps["4 MB"],
                     "lxml_ratio_2k": mbps["lxml 2 KB"] / mbps["lxml 4 MB"],
                     "vs_lxml_2k": mbps["2 KB"] / mbps["lxml 2 KB"]})
    table(["file", "2 KB MB/s", "40 KB MB/s", "file MB/s", "4 MB MB/s", "2 KB / 4 MB", "40 KB / 4 MB",
           "lxml 2 KB / 4 MB", "vs lxml at 2 KB"],
          [[r["file"], f1(r["MBps"]["2 KB"]), f1(r["MBps"]["40 KB"]), f1(r["MBps"]["file"]), f1(r["MBps"]["4 MB"]),
            fx(r["ratio_2k"]), fx(r["ratio_40k"]), fx(r["lxml_ratio_2k"]), fx(r["vs_lxml_2k"])] for r in rows])
    if not rows:
        return {"rows": rows}
    worst = min(rows, key=lambda r: r["ratio_40k"])
    print(f"lowest 40 KB / 4 MB speed: {worst['ratio_40k']:.2f}x ({worst['file']}); lowest 2 KB / 4 MB: "
          f"{min(r['ratio_2k'] for r in rows):.2f}x; the 2 KB documents are "
          f"{med([r['bytes']['2 KB'] for r in rows]):.0f} bytes (median)")
    return {"rows": rows, "worst_40k": worst["ratio_40k"], "worst_40k_file": worst["file"],
            "worst_2k": min(r["ratio_2k"] for r in rows)}


def measure_walk(docs, a):
    print("\n## read + walk: read, then name/tag, every attribute pair, text and children of every element "
          "(explicit stack)")
    rows = []
    for d in docs:
        fresh = FreshText(d.text)
        walk_a, walk_e = returning(walk_arbolite), returning(walk_etree)
        cases = [
            Case("arbolite", lambda s, d=d: walk_a(arbolite.read_string(s, d.tag)), fresh),
            Case("lxml", lambda b: walk_e(LET.fromstring(b)), lambda d=d: fresh_bytes(d.data)),
            Case("ElementTree", lambda b: walk_e(ET.fromstring(b)), lambda d=d: fresh_bytes(d.data)),
        ]
        size = len(d.data)
        row = speed_rows(d, cases, dict.fromkeys(("arbolite", "lxml", "ElementTree"), size), a.rounds, a.min_time,
                         ["lxml", "ElementTree"])
        row["visited"] = {
            "arbolite": walk_arbolite(arbolite.read_string(d.text, d.tag)),
            "lxml": walk_etree(LET.fromstring(d.data)),
            "ElementTree": walk_etree(ET.fromstring(d.data)),
        }
        rows.append(row)
    table(["file", "MB", "nodes a/lxml/ET", "arbolite MB/s", "lxml MB/s", "ElementTree MB/s", "vs lxml",
           "vs ElementTree"],
          [[r["file"], f"{d.mb:.2f}", "/".join(str(v) for v in r["visited"].values()), f1(r["MBps"]["arbolite"]),
            f1(r["MBps"]["lxml"]), f1(r["MBps"]["ElementTree"]), fx(r["ratio"]["lxml"]), fx(r["ratio"]["ElementTree"])]
           for r, d in zip(rows, docs)])
    m = medians(rows)
    print(f"median of per-file ratios: vs lxml {fx(m['lxml'])}, vs ElementTree {fx(m['ElementTree'])}")
    print("(lxml's walk also visits the comments and processing instructions its parser keeps: see the node counts)")
    spread_line(rows)
    return {"rows": rows, "median_ratio": m}


def measure_write(docs, a):
    print("\n## write: arbolite.write_string(tree) (indent 4, declaration) vs "
          "lxml.etree.tostring(pretty_print=True, encoding='unicode') vs ElementTree.tostring(encoding='unicode') "
          "of a tree ET.indent-ed (4 spaces) beforehand")
    rows = []
    for d in docs:
        tree = arbolite.read_string(d.text, d.tag)
        lx = LET.fromstring(d.data)
        et = ET.fromstring(d.data)  # a tree of its own: indenting changes it
        ET.indent(et, space="    ")
        calls = {
            "arbolite": lambda _: arbolite.write_string(tree),
            "lxml": lambda _: LET.tostring(lx, pretty_print=True, encoding="unicode"),
            "ElementTree": lambda _: ET.tostring(et, encoding="unicode"),
        }
        sizes = {k: len(fn(None).encode("utf-8")) for k, fn in calls.items()}
        cases = [Case(k, fn) for k, fn in calls.items()]
        row = speed_rows(d, cases, sizes, a.rounds, a.min_time, ["lxml", "ElementTree"])
        row["output_bytes"] = sizes
        rows.append(row)
        del tree, lx, et
    table(["file", "input MB", "output MB a/lxml/ET", "arbolite MB/s", "lxml MB/s", "ElementTree MB/s", "vs lxml",
           "vs lxml (time)", "vs ElementTree"],
          [[r["file"], f"{d.mb:.2f}", "/".join(f"{v / 1e6:.2f}" for v in r["output_bytes"].values()),
            f1(r["MBps"]["arbolite"]), f1(r["MBps"]["lxml"]), f1(r["MBps"]["ElementTree"]), fx(r["ratio"]["lxml"]),
            fx(r["time_ratio"]["lxml"]), fx(r["ratio"]["ElementTree"])] for r, d in zip(rows, docs)])
    m = medians(rows)
    mt = medians(rows, "time_ratio")
    print(f"median of per-file ratios (MB/s, each library's own output): vs lxml {fx(m['lxml'])}, "
          f"vs ElementTree {fx(m['ElementTree'])}; by time for the same tree: vs lxml {fx(mt['lxml'])}, "
          f"vs ElementTree {fx(mt['ElementTree'])}")
    print("(lxml keeps the source's whitespace text and indents only where there is none, so its output is close "
          "to the input; arbolite and ElementTree re-indent every element)")
    spread_line(rows)
    return {"rows": rows, "median_ratio": m, "median_time_ratio": mt}


def measure_compact(docs, a):
    print("\n## compact: arbolite.write_string(tree, default_xml_def=False, pretty=False) vs "
          "lxml.etree.tostring(encoding='unicode') vs ElementTree.tostring(encoding='unicode'), the peers' trees read "
          "from arbolite's compact output")
    rows = []
    for d in docs:
        tree = arbolite.read_string(d.text, d.tag)
        compact = arbolite.write_string(tree, default_xml_def=False, pretty=False)
        lx = LET.fromstring(compact.encode("utf-8"))
        et = ET.fromstring(compact.encode("utf-8"))
        calls = {
            "arbolite": lambda _: arbolite.write_string(tree, default_xml_def=False, pretty=False),
            "lxml": lambda _: LET.tostring(lx, encoding="unicode"),
            "ElementTree": lambda _: ET.tostring(et, encoding="unicode"),
        }
        sizes = {k: len(fn(None).encode("utf-8")) for k, fn in calls.items()}
        row = speed_rows(d, [Case(k, fn) for k, fn in calls.items()], sizes, a.rounds, a.min_time,
                         ["lxml", "ElementTree"])
        row["output_bytes"] = sizes
        rows.append(row)
        del tree, lx, et
    table(["file", "output MB a/lxml/ET", "arbolite MB/s", "lxml MB/s", "ElementTree MB/s", "vs lxml (time)",
           "vs ElementTree (time)"],
          [[r["file"], "/".join(f"{v / 1e6:.2f}" for v in r["output_bytes"].values()), f1(r["MBps"]["arbolite"]),
            f1(r["MBps"]["lxml"]), f1(r["MBps"]["ElementTree"]), fx(r["time_ratio"]["lxml"]),
            fx(r["time_ratio"]["ElementTree"])] for r in rows])
    mt = medians(rows, "time_ratio")
    print(f"median of per-file ratios (peer time / arbolite time, the same tree): vs lxml {fx(mt['lxml'])}, "
          f"vs ElementTree {fx(mt['ElementTree'])}")
    spread_line(rows)
    return {"rows": rows, "median_ratio": mt}


def measure_findall(docs, a):
    print("\n## findall: node.findall(path) vs root.findall(path) in ElementTree and lxml, the same queries "
          "(common.findall_paths; {uri}local names for the peers), caches overwritten before each call")
    evict = Evict()
    rows = []
    for d in docs:
        tree = arbolite.read_string(d.text, d.tag)
        lx = LET.fromstring(d.data)
        et = ET.fromstring(d.data)
        queries = []
        for ours, theirs in findall_paths(tree, lx):
            calls = {"arbolite": lambda p=ours: tree.findall(p), "lxml": lambda p=theirs: lx.findall(p),
                     "ElementTree": lambda p=theirs: et.findall(p)}
            hits = {k: len(fn()) for k, fn in calls.items()}
            times = {k: [] for k in calls}
            order = list(calls)
            for r in range(a.rounds):
                for k in order[r % 3:] + order[:r % 3]:
                    evict()
                    t0 = time.perf_counter()
                    result = calls[k]()
                    times[k].append(time.perf_counter() - t0)
                    del result
            seconds = {k: med(v) for k, v in times.items()}
            queries.append({"path": ours, "hits": hits, "seconds": seconds,
                            "ratio": {p: seconds[p] / seconds["arbolite"] for p in ("lxml", "ElementTree")}})
        rows.append({"file": d.name, "queries": queries,
                     "ratio": {p: med([q["ratio"][p] for q in queries]) for p in ("lxml", "ElementTree")}})
        del tree, lx, et
    table(["file", "path", "matches a/lxml/ET", "arbolite us", "lxml us", "ElementTree us", "vs lxml",
           "vs ElementTree"],
          [[r["file"], q["path"], "/".join(str(v) for v in q["hits"].values()), f1(q["seconds"]["arbolite"] * 1e6),
            f1(q["seconds"]["lxml"] * 1e6), f1(q["seconds"]["ElementTree"] * 1e6), fx(q["ratio"]["lxml"]),
            fx(q["ratio"]["ElementTree"])] for r in rows for q in r["queries"]])
    m = medians(rows)
    print(f"median of per-file ratios (each the median over its queries; peer time / arbolite time): "
          f"vs lxml {fx(m['lxml'])}, vs ElementTree {fx(m['ElementTree'])}")
    # lxml's .. gives a parent once per child it was reached from; the others once.
    if any(q["hits"]["arbolite"] != q["hits"]["ElementTree"] or
           (q["hits"]["lxml"] != q["hits"]["arbolite"] and not q["path"].endswith("/..")) for r in rows for q in r["queries"]):
        print("WARNING: the libraries found different numbers of elements for some query (see matches)")
    return {"rows": rows, "median_ratio": m}


def xmltodict_rows(docs, a, title, make_cases, also=None):
    """Rows of arbolite against xmltodict, on the files xmltodict reads; `also`
    labels a second arbolite case, shown in its own column against xmltodict."""
    print(title)
    rows = []
    for d in docs:
        try:
            xmltodict.parse(d.text)
        except Exception as e:  # noqa: BLE001 - reported, the file is skipped for this measure
            print(f"{d.name}: xmltodict fails ({type(e).__name__}: {e}); skipped")
            continue
        labels = ("arbolite", "xmltodict") + ((also,) if also else ())
        row = speed_rows(d, make_cases(d), dict.fromkeys(labels, len(d.data)), a.rounds, a.min_time, ["xmltodict"])
        if also:
            row["also_ratio"] = {"xmltodict": row["MBps"][also] / row["MBps"]["xmltodict"]}
        rows.append(row)
    by_name = {d.name: d for d in docs}
    extra = [f"{also} MB/s", f"{also} vs xmltodict"] if also else []
    table(["file", "MB", "arbolite MB/s", "xmltodict MB/s", "vs xmltodict"] + extra,
          [[r["file"], f"{by_name[r['file']].mb:.2f}", f1(r["MBps"]["arbolite"]), f1(r["MBps"]["xmltodict"]),
            fx(r["ratio"]["xmltodict"])] +
           ([f1(r["MBps"][also]), fx(r["also_ratio"]["xmltodict"])] if also else []) for r in rows])
    m = medians(rows)
    result = {"rows": rows, "median_ratio": m}
    if not rows:
        print("no file")
    elif also:
        result["also_median_ratio"] = medians(rows, "also_ratio")
        print(f"median of per-file ratios: vs xmltodict {fx(m['xmltodict'])}; "
              f"{also} vs xmltodict {fx(result['also_median_ratio']['xmltodict'])}")
    else:
        print(f"median of per-file ratios: vs xmltodict {fx(m['xmltodict'])}")
    spread_line(rows)
    return result


def measure_dict(docs, a):
    def cases(d):
        fresh = FreshText(d.text)
        return [Case("arbolite", lambda s, d=d: arbolite.read_dict(s, d.tag), fresh),
                Case("xmltodict", xmltodict.parse, fresh),
                Case("read + to_dict", lambda s, d=d: arbolite.read_string(s, d.tag).to_dict(), fresh)]

    return xmltodict_rows(docs, a, "\n## dict: arbolite.read_dict(fresh str, root) vs xmltodict.parse(fresh str); "
                          "arbolite.read_string(fresh str, root).to_dict() beside it", cases, also="read + to_dict")


def measure_parse_dict(docs, a):
    def cases(d):
        fresh = FreshText(d.text)
        return [Case("arbolite", arbolite.parse_dict, fresh), Case("xmltodict", xmltodict.parse, fresh)]

    return xmltodict_rows(docs, a, "\n## parse_dict: arbolite.parse_dict(fresh str) vs xmltodict.parse(fresh str)",
                          cases)


def measure_unparse_dict(docs, a):
    def cases(d):
        mapping = arbolite.parse_dict(d.text)
        return [Case("arbolite", arbolite.unparse_dict, lambda: mapping),
                Case("xmltodict", xmltodict.unparse, lambda: mapping)]

    return xmltodict_rows(docs, a, "\n## unparse_dict: arbolite.unparse_dict(d) vs xmltodict.unparse(d), "
                          "d = parse_dict's result", cases)


def measure_search(docs, a):
    print("\n## search: node.search_by_name(most common name) vs list(root.iter(tag)) in ElementTree and lxml "
          "(the same elements; {uri}local where the name has a namespace)")
    rows = []
    for d in docs:
        tree = arbolite.read_string(d.text, d.tag)
        wanted = most_common_name(tree)
        lx = LET.fromstring(d.data)
        et = ET.fromstring(d.data)
        tag = clark_name(lx, wanted)
        hits = {
            "arbolite": len(tree.search_by_name(wanted)),
            "lxml": len(list(lx.iter(tag))),
            "ElementTree": len(list(et.iter(tag))),
        }
        cases = [
            Case("arbolite", lambda _: tree.search_by_name(wanted)),
            Case("lxml", lambda _: list(lx.iter(tag))),
            Case("ElementTree", lambda _: list(et.iter(tag))),
        ]
        samples = interleaved(cases, a.rounds, a.min_time)
        seconds = {k: med(v) for k, v in samples.items()}
        rows.append({
            "file": d.name, "name": wanted, "hits": hits, "seconds": seconds,
            "ratio": {p: seconds[p] / seconds["arbolite"] for p in ("lxml", "ElementTree")},
            "spread": {k: spread(v) for k, v in samples.items()}, "samples": samples,
        })
        del tree, lx, et
    table(["file", "name", "matches a/lxml/ET", "arbolite us", "lxml us", "ElementTree us", "vs lxml",
           "vs ElementTree"],
          [[r["file"], r["name"], "/".join(str(v) for v in r["hits"].values()), f1(r["seconds"]["arbolite"] * 1e6),
            f1(r["seconds"]["lxml"] * 1e6), f1(r["seconds"]["ElementTree"] * 1e6), fx(r["ratio"]["lxml"]),
            fx(r["ratio"]["ElementTree"])] for r in rows])
    m = medians(rows)
    print(f"median of per-file ratios (peer time / arbolite time): vs lxml {fx(m['lxml'])}, "
          f"vs ElementTree {fx(m['ElementTree'])}")
    if any(len(set(r["hits"].values())) > 1 for r in rows):
        print("WARNING: the libraries found different numbers of elements in some file (see matches)")
    spread_line(rows)
    return {"rows": rows, "median_ratio": m}


def measure_peers(docs, a):
    results = peers.measure_peers(docs, a.rounds, a.min_time)
    s = peers.summary(results)
    peers.print_summary(s)
    return {"rows": results, "summary": s, "missing": peers.missing()}


def measure_memory(docs, a):
    print("\n## memory: resident bytes held per element after a read (fresh interpreter per library and file; "
          "input loaded first, imports warmed, gc + malloc_trim before each reading; arbolite reads a fresh copy "
          "of the str, so neither the input nor its UTF-8 form is counted)")
    rows = []
    libs = ("arbolite", "lxml", "ElementTree")
    for d in docs:
        per, held_bytes, errors = {}, {}, {}
        for lib in libs:
            held, err = memory_held(lib, d.path, d.tag)
            held_bytes[lib] = held
            per[lib] = None if held is None else held / d.elements
            if err:
                errors[lib] = err
        row = {"file": d.name, "elements": d.elements, "held_bytes": held_bytes, "bytes_per_element": per,
               "errors": errors}
        if per["arbolite"]:
            row["ratio"] = {p: per[p] / per["arbolite"] for p in ("lxml", "ElementTree") if per[p] is not None}
        rows.append(row)

    def cell(v):
        return "failed" if v is None else f"{v:.0f}"
    table(["file", "elements", "arbolite B/elem", "lxml B/elem", "ElementTree B/elem", "lxml/arbolite",
           "ElementTree/arbolite"],
          [[r["file"], str(r["elements"])] + [cell(r["bytes_per_element"][lib]) for lib in libs]
           + [fx(r["ratio"][p]) if p in r.get("ratio", {}) else "-" for p in ("lxml", "ElementTree")] for r in rows])
    for r in rows:
        for lib, err in r["errors"].items():
            print(f"{r['file']}: {lib} probe failed: {err}")
    ok = [r for r in rows if r["bytes_per_element"]["arbolite"] is not None]
    result = {"rows": rows}
    if ok:
        result["median_bytes_per_element"] = {
            lib: med([r["bytes_per_element"][lib] for r in ok if r["bytes_per_element"][lib] is not None])
            for lib in libs}
        result["median_ratio"] = {p: med([r["ratio"][p] for r in ok if p in r["ratio"]]) for p in ("lxml", "ElementTree")}
        mb = result["median_bytes_per_element"]
        print(f"median bytes per element: arbolite {mb['arbolite']:.0f}, lxml {mb['lxml']:.0f}, "
              f"ElementTree {mb['ElementTree']:.0f}")
        full = [r for r in ok if None not in r["held_bytes"].values()]
        elements = sum(r["elements"] for r in full)
        result["pooled_bytes_per_element"] = {lib: sum(r["held_bytes"][lib] for r in full) / elements for lib in libs}
        pb = result["pooled_bytes_per_element"]
        print(f"all files pooled (total held / total elements): arbolite {pb['arbolite']:.0f}, lxml {pb['lxml']:.0f}, "
              f"ElementTree {pb['ElementTree']:.0f}")
    return result


def threads_document(docs, target_mb):
    """The largest readable file's root element, repeated under one <corpus> root to about target_mb."""
    for d in sorted(docs, key=lambda d: d.mb, reverse=True):
        try:
            body = from_root_element(d.text)
        except ValueError:
            continue
        copies = max(1, round(target_mb / d.mb))
        doc = "<corpus>\n" + "\n".join([body] * copies) + "\n</corpus>\n"
        tree = arbolite.read_string(doc, "corpus")
        # The copies are what was read, not a prefix of them.
        assert len(tree.children) == copies and all(c.name == d.tag for c in tree.children), d.name
        return d, copies, doc
    raise SystemExit("no corpus file can be nested")


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def one_thread(fn, inputs):
    t0, c0 = time.perf_counter(), cpu_seconds()
    results = [fn(x) for x in inputs]
    wall, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    del results
    return wall, cpu


def two_threads(fn, inputs):
    start = threading.Barrier(len(inputs) + 1)
    spans, results, errors = [None] * len(inputs), [None] * len(inputs), []

    def worker(i):
        try:
            start.wait()
            t0 = time.perf_counter()
            results[i] = fn(inputs[i])
            spans[i] = (t0, time.perf_counter())
        except BaseException as e:  # re-raised in the main thread
            errors.append(e)

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(len(inputs))]
    for t in pool:
        t.start()
    c0 = cpu_seconds()
    start.wait()
    for t in pool:
        t.join()
    cpu = cpu_seconds() - c0
    if errors:
        raise errors[0]
    wall = max(e for _, e in spans) - min(s for s, _ in spans)
    del results
    return wall, cpu


def measure_threads(docs, a):
    d, copies, doc = threads_document(docs, a.thread_mb)
    data = doc.encode("utf-8")
    print(f"\n## threads: two threads reading one document each vs one thread reading both "
          f"({copies} x {d.name} under <corpus>, {len(data) / 1e6:.1f} MB; each read gets its own fresh input; "
          f"configurations interleaved within each round)")
    fresh = FreshText(doc)
    warm = [fresh(), fresh()]
    for s in warm:
        arbolite.read_string(s, "corpus")  # these two now carry their UTF-8 form
    et_rounds = max(1, min(a.thread_rounds, 3))  # the control is slow and its answer plain
    configs = [
        ("arbolite", lambda s: arbolite.read_string(s, "corpus"), lambda: [fresh(), fresh()], a.thread_rounds),
        ("arbolite, UTF-8 already cached (not a fresh caller)", lambda s: arbolite.read_string(s, "corpus"),
         lambda: warm, a.thread_rounds),
        ("lxml", LET.fromstring, lambda: [fresh_bytes(data), fresh_bytes(data)], a.thread_rounds),
        ("ElementTree (control: keeps the lock)", ET.fromstring, lambda: [fresh_bytes(data), fresh_bytes(data)],
         et_rounds),
        # What the machine allows right now: hashing releases the lock and allocates nothing.
        ("hashlib.sha256 (control: the machine's own speed-up)", lambda b: hashlib.sha256(b).digest(),
         lambda: [fresh_bytes(data), fresh_bytes(data)], a.thread_rounds),
    ]
    samples = {label: ([], []) for label, *_ in configs}
    print(f"load average before: {loadavg()}")
    for _label, fn, make, _rounds in configs:
        fn(make()[0])  # warm
    for r in range(a.thread_rounds):
        turn = configs[r % len(configs):] + configs[:r % len(configs)]
        for label, fn, make, rounds in turn:
            if r >= rounds:
                continue
            seq, par = samples[label]
            for which in ((0, 1) if r % 2 == 0 else (1, 0)):  # which goes first alternates
                inputs = make()
                if which == 0:
                    seq.append(one_thread(fn, inputs))
                else:
                    par.append(two_threads(fn, inputs))
                del inputs
        print(f"  threads round {r + 1}/{a.thread_rounds} done, load average {loadavg()}", file=sys.stderr, flush=True)
    print(f"load average after: {loadavg()}")
    rows = []
    for label, _fn, _make, rounds in configs:
        seq, par = samples[label]
        s_wall, p_wall = med([w for w, _ in seq]), med([w for w, _ in par])
        rows.append({
            "library": label, "one_thread_s": s_wall, "two_threads_s": p_wall, "speedup": s_wall / p_wall,
            "best_speedup": min(w for w, _ in seq) / min(w for w, _ in par),
            "cpu_per_wall_two_threads": med([c / w for w, c in par]), "rounds": len(seq),
            "samples": {"one": seq, "two": par},
        })
    table(["library", "rounds", "one thread, 2 reads s (median)", "two threads, 1 read each s (median)",
           "speed-up (medians)", "speed-up (best times)", "CPU s / wall s (two threads)"],
          [[r["library"], str(r["rounds"]), f"{r['one_thread_s']:.3f}", f"{r['two_threads_s']:.3f}",
            f"{r['speedup']:.2f}x", f"{r['best_speedup']:.2f}x", f"{r['cpu_per_wall_two_threads']:.2f}"]
           for r in rows])
    print("(the hashlib row is what two threads can gain on this machine at the time: below 2 when other work "
          "holds a core, and then no library's figure says much about its lock)")
    key = {"arbolite": "arbolite", "lxml": "lxml", "ElementTree (control: keeps the lock)": "ElementTree",
           "hashlib.sha256 (control: the machine's own speed-up)": "hashlib"}
    return {"document": {"file": d.name, "copies": copies, "bytes": len(data)}, "rows": rows,
            "speedup": {key[r["library"]]: r["speedup"] for r in rows if r["library"] in key}}


def measure_native(docs, a):
    path = a.native if os.path.isabs(a.native) else os.path.join(ROOT, a.native)
    print(f"\n## native: parse (index + tree) without Python, vs memcpy and memchr of an absent byte on the same "
          f"buffer ({os.path.relpath(path, ROOT)})")
    if not os.path.exists(path):
        print("not built; build it with\n"
              "  cmake -S . -B build/bench -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_BENCH=ON\n"
              "  cmake --build build/bench -j2 --target parse_bench")
        return None
    out = subprocess.run([path, "--tsv", "--rounds", str(a.native_rounds)] + [d.path for d in docs],
                         capture_output=True, text=True)
    if out.returncode != 0:
        print(f"parse_bench failed ({out.returncode}): {out.stderr.strip()}")
        return None
    lines = out.stdout.strip().splitlines()
    head = lines[0].split("\t")
    rows = [dict(zip(head, line.split("\t"))) for line in lines[1:]]
    ok = [r for r in rows if r["status"] == "ok"]
    for r in ok:
        for k in ("parse_MBps", "memcpy_MBps", "memchr_MBps"):
            r[k] = float(r[k])
        r["bytes"], r["elements"] = int(r["bytes"]), int(r["elements"])
    table(["file", "bytes", "elements", "parse MB/s", "memcpy MB/s", "memchr MB/s", "parse / memchr"],
          [[r["file"], str(r["bytes"]), str(r["elements"]), f1(r["parse_MBps"]), f1(r["memcpy_MBps"]),
            f1(r["memchr_MBps"]), f"{r['parse_MBps'] / r['memchr_MBps']:.3f}"] for r in ok])
    for r in rows:
        if r["status"] != "ok":
            print(f"{r['file']}: {r['status']}")
    # A parse that stopped at the wrong element would look fast: its tree must be the whole document.
    expected = {d.name: d.elements for d in docs}
    for r in ok:
        if r["elements"] != expected.get(r["file"]):
            print(f"WARNING: {r['file']}: the native tree has {r['elements']} elements, ElementTree "
                  f"{expected.get(r['file'])}")
    result = {"rows": rows}
    if ok:
        by_size = sorted(ok, key=lambda r: r["bytes"])
        mid = by_size[(len(by_size) - 1) // 2]
        result["median_parse_MBps"] = med([r["parse_MBps"] for r in ok])
        result["median_size_file"] = {"file": mid["file"], "parse_MBps": mid["parse_MBps"]}
        print(f"median parse MB/s over the files: {result['median_parse_MBps']:.1f}; "
              f"on the median-sized file ({mid['file']}): {mid['parse_MBps']:.1f}")
    return result


def loadavg():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def summary(results):
    rows, out = [], []

    def add(measure, label, peer, value, unit, also=""):
        _, goal, kind = GOALS[measure]
        met = value >= goal if kind == "min" else value <= goal
        goal_text = f"{'>=' if kind == 'min' else '<='} {goal:g}{unit}"
        rows.append([label, peer or "-", f"{value:.2f}{unit}", goal_text, "yes" if met else "NO", also])
        out.append({"measure": measure, "label": label, "peer": peer, "value": value, "unit": unit, "goal": goal,
                    "kind": kind, "met": met})

    def vs_et(m):
        r = results[m].get("median_ratio", {}) if results.get(m) else {}
        return f"vs ElementTree {r['ElementTree']:.2f}x" if "ElementTree" in r else ""

    if results.get("read"):
        add("read", "read_string vs lxml.fromstring", "lxml", results["read"]["median_ratio"]["lxml"], "x",
            vs_et("read"))
    if results.get("small") and results["small"]["rows"]:
        sm = results["small"]
        add("small", "40 KB read speed over 4 MB (lowest file)", None, sm["worst_40k"], "x",
            f"{sm['worst_40k_file']}; 2 KB over 4 MB at least {sm['worst_2k']:.2f}x")
    if results.get("walk"):
        add("walk", "read + walk vs lxml", "lxml", results["walk"]["median_ratio"]["lxml"], "x", vs_et("walk"))
    if results.get("write"):
        add("write", "write_string vs lxml pretty (MB/s, own output)", "lxml",
            results["write"]["median_ratio"]["lxml"], "x",
            f"by time {results['write']['median_time_ratio']['lxml']:.2f}x; " + vs_et("write"))
    if results.get("compact"):
        add("compact", "compact write_string vs lxml tostring (time, same tree)", "lxml",
            results["compact"]["median_ratio"]["lxml"], "x", vs_et("compact"))
    if results.get("dict") and results["dict"]["rows"]:
        also = results["dict"].get("also_median_ratio")
        add("dict", "read_dict vs xmltodict.parse", "xmltodict", results["dict"]["median_ratio"]["xmltodict"],
            "x", f"read + to_dict {also['xmltodict']:.2f}x" if also else "")
    for m in ("parse_dict", "unparse_dict"):
        if results.get(m) and results[m]["rows"]:
            add(m, f"{m} vs xmltodict.{m.split('_')[0]}", "xmltodict", results[m]["median_ratio"]["xmltodict"], "x")
    if results.get("search"):
        add("search", "search_by_name vs ElementTree iter", "ElementTree",
            results["search"]["median_ratio"]["ElementTree"], "x",
            f"vs lxml {results['search']['median_ratio']['lxml']:.2f}x")
    if results.get("findall"):
        add("findall", "findall vs ElementTree findall (caches cold)", "ElementTree",
            results["findall"]["median_ratio"]["ElementTree"], "x",
            f"vs lxml {results['findall']['median_ratio']['lxml']:.2f}x")
    if results.get("memory") and "median_bytes_per_element" in results["memory"]:
        mb = results["memory"]["median_bytes_per_element"]
        add("memory", "bytes per element (median file)", None, mb["arbolite"], " B",
            f"lxml {mb['lxml']:.0f} B, ElementTree {mb['ElementTree']:.0f} B")
    if results.get("threads"):
        sp = results["threads"]["speedup"]
        add("threads", "two-thread speed-up (arbolite)", None, sp["arbolite"], "x",
            f"lxml {sp['lxml']:.2f}x, ElementTree {sp['ElementTree']:.2f}x; machine (hashlib) {sp['hashlib']:.2f}x")
    if results.get("native") and "median_parse_MBps" in results["native"]:
        n = results["native"]
        add("native", "native parse MB/s (median over files)", None, n["median_parse_MBps"], " MB/s",
            f"median-sized file {n['median_size_file']['file']}: {n['median_size_file']['parse_MBps']:.0f} MB/s")
    if results.get("peers"):
        for row, by_peer in results["peers"]["summary"].items():
            # xmltodict has its own goal (dict, parse_dict); here the native look-alikes and DOMs
            others = {p: v for p, v in by_peer.items() if p not in ("xmltodict", "arbolite to_dict")}
            if not others:
                continue
            peer, (m, worst, worst_file) = min(others.items(), key=lambda kv: kv[1][0])
            rest = ", ".join(f"{p} {v[0]:.2f}x" for p, v in others.items() if p != peer)
            goal = PEER_GOALS.get(row)
            also = f"worst file {worst:.2f}x ({worst_file}); {rest}"
            if goal is None:  # shown for what it tells, with no goal of its own
                rows.append([f"peers: {row} (lowest peer)", peer, f"{m:.2f}x", "-", "-", also])
                continue
            rows.append([f"peers: {row} (lowest peer)", peer, f"{m:.2f}x", f">= {goal:g}x",
                         "yes" if m >= goal else "NO", also])
            out.append({"measure": "peers", "label": row, "peer": peer, "value": m, "unit": "x",
                        "goal": PEER_GOALS[row], "kind": "min", "met": m >= PEER_GOALS[row]})
    print("\n## summary: arbolite's median per-file ratio against the peer named, and the goals")
    table(["measure", "peer", "arbolite", "goal", "met", "also"], rows)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="few rounds and short samples: a smoke run")
    p.add_argument("--only", default=",".join(MEASURES), help=f"comma-separated subset of {','.join(MEASURES)}")
    p.add_argument("--files", default="*", help="comma-separated file name patterns (fnmatch)")
    p.add_argument("--rounds", type=int, help="interleaved rounds per file and measure (default 11; quick 3)")
    p.add_argument("--min-time", type=float, help="seconds per sample (default 0.2; quick 0.02)")
    p.add_argument("--thread-mb", type=float, default=100.0, help="size of the threads document in MB")
    p.add_argument("--thread-rounds", type=int, help="rounds of the threads measure (default 7; quick 1)")
    p.add_argument("--native", default="build/bench/parse_bench", help="the native benchmark binary")
    p.add_argument("--native-rounds", type=int, help="rounds of the native benchmark (default 11; quick 3)")
    p.add_argument("--json", help="also write the results here as JSON")
    a = p.parse_args()
    a.rounds = a.rounds or (3 if a.quick else 11)
    a.min_time = a.min_time or (0.02 if a.quick else 0.2)
    a.thread_rounds = a.thread_rounds or (1 if a.quick else 7)
    a.native_rounds = a.native_rounds or (3 if a.quick else 11)
    if a.quick and a.thread_mb == 100.0:
        a.thread_mb = 20.0
    only = [m.strip() for m in a.only.split(",") if m.strip()]
    unknown = set(only) - set(MEASURES)
    if unknown:
        p.error(f"unknown measures {sorted(unknown)}; choose from {MEASURES}")
    patterns = [x.strip() for x in a.files.split(",") if x.strip()]

    started = time.perf_counter()
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = "?"
    meta = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"), "commit": commit,
        "python": sys.version.split()[0], "arbolite": arbolite.__file__,
        "lxml": ".".join(map(str, LET.LXML_VERSION)), "libxml2": ".".join(map(str, LET.LIBXML_VERSION)),
        "cpus": os.cpu_count(), "machine": platform.processor() or platform.machine(),
        "load_before": loadavg(), "args": vars(a),
    }
    print(f"# arbolite vs lxml, ElementTree, xmltodict ({meta['date']}, commit {commit})")
    print(f"Python {meta['python']}, lxml {meta['lxml']} (libxml2 {meta['libxml2']}), {meta['cpus']} CPUs, "
          f"load average {meta['load_before']}")
    print(f"rounds {a.rounds}, sample {a.min_time}s, threads rounds {a.thread_rounds}, native rounds "
          f"{a.native_rounds}; measures {','.join(only)}")

    docs, skipped = [], []
    for name, text in corpus_files():
        if not any(fnmatch.fnmatch(name, pat) for pat in patterns):
            continue
        d = Doc(name, text)
        (skipped if d.problem else docs).append(d)
    print("\n## corpus")
    rows = [[d.name, str(len(d.data)), str(d.elements), d.tag, "ok"] for d in docs]
    for d in skipped:
        try:
            arbolite.read_string(d.text, d.tag)
            ours = "arbolite reads it!"
        except ValueError as e:
            ours = f"arbolite: {e}"
        rows.append([d.name, str(len(d.data)), "-", d.tag or "?", f"not well-formed, skipped (lxml: {d.problem}; {ours})"])
    table(["file", "bytes", "elements", "root", "status"], rows)
    if not docs:
        sys.exit("no readable file selected")

    results = {}
    runners = {"read": measure_read, "small": measure_small, "walk": measure_walk, "write": measure_write, "compact": measure_compact,
               "dict": measure_dict, "parse_dict": measure_parse_dict, "unparse_dict": measure_unparse_dict,
               "search": measure_search, "findall": measure_findall,
               "memory": measure_memory, "threads": measure_threads, "native": measure_native,
               "peers": measure_peers}
    for m in MEASURES:
        if m in only:
            t0 = time.perf_counter()
            results[m] = runners[m](docs, a)
            print(f"({m}: {time.perf_counter() - t0:.0f} s)")
    results["summary"] = summary(results)
    meta["load_after"] = loadavg()
    meta["seconds"] = time.perf_counter() - started
    print(f"\nload average at the end {meta['load_after']}; total {meta['seconds']:.0f} s")
    if a.json:
        results["meta"] = meta
        results["files"] = [{"file": d.name, "bytes": len(d.data), "elements": d.elements, "root": d.tag,
                             "status": "ok"} for d in docs] + \
                           [{"file": d.name, "bytes": len(d.data), "status": f"not well-formed: {d.problem}"}
                            for d in skipped]
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
