"""Streaming the records of a document: arbolite.iter_file against lxml's and
ElementTree's iterparse (with the clearing that keeps their memory flat) and
xmltodict's item callback, on the corpus and on a generated document.

    python bench/stream.py                        # the corpus, 3 rounds
    python bench/stream.py --files 'Gtk*,josm*' --rounds 5
    python bench/stream.py --generated 1024       # also a generated 1 GB document (by hand: minutes, and 1 GB of disk)
    python bench/stream.py --json out.json

How it measures:
- Each run is one fresh interpreter for one library and one file, so that its
  peak resident memory is its own: the peak (VmHWM, reset through
  /proc/self/clear_refs when the stream starts) less the resident size then. It times only the stream:
  reading the file from disk (warm in the page cache after the first round),
  parsing, and touching each record's name.
- Runs alternate between the libraries within each round, the order rotating
  from round to round; the time is the median of the rounds.
- Each library streams the same records: the elements named TAG, however deep.
  The peers match the local name (their namespaces are expanded); xmltodict
  takes the records at one depth (item_depth), the depth of the first one.
- lxml: iterparse(tag=...) with elem.clear() and the deletion of the previous
  siblings; ElementTree: iterparse with start events and root.clear() after
  each record; xmltodict: parse(file, item_depth, item_callback).

The machine may be shared: compare libraries within one run, as ratios.
"""
import sys

if sys.version_info < (3, 12):
    sys.exit(f"bench/stream.py needs CPython 3.12 or later; this is {sys.version.split()[0]} ({sys.executable})")

import argparse  # noqa: E402
import fnmatch  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import xml.etree.ElementTree as ET  # noqa: E402

from common import CORPUS, table  # noqa: E402

try:
    import lxml.etree  # noqa: F401
    import xmltodict  # noqa: F401
except ImportError:
    sys.exit("bench/stream.py needs lxml and xmltodict: pip install lxml xmltodict")

LIBRARIES = ["arbolite", "lxml", "etree", "xmltodict"]

CHILD = r"""
import json, sys, time
lib, path, tag, depth = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
local = tag.rsplit(":", 1)[-1]

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")

def peak():
    return status("VmHWM")

def resident():
    # The peak so far is the interpreter's start; the stream's starts here.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status("VmRSS")

if lib == "arbolite":
    import arbolite
    def run():
        n = 0
        for node in arbolite.iter_file(path, tag):
            node.name
            n += 1
        return n
elif lib == "lxml":
    import lxml.etree as E
    def run():
        n = 0
        for _, elem in E.iterparse(path, events=("end",), tag="{*}" + local):
            elem.tag
            n += 1
            elem.clear()
            while elem.getprevious() is not None:
                del elem.getparent()[0]
        return n
elif lib == "etree":
    import xml.etree.ElementTree as E
    def run():
        n = 0
        events = E.iterparse(path, events=("start", "end"))
        _, root = next(events)
        for event, elem in events:
            if event == "end" and elem.tag.rsplit("}", 1)[-1] == local:
                n += 1
                root.clear()
        return n
else:
    import xmltodict
    def run():
        count = [0]
        def item(path_, value):
            if path_[-1][0] == tag:
                count[0] += 1
            return True
        with open(path, "rb") as f:
            xmltodict.parse(f, item_depth=depth, item_callback=item)
        return count[0]

before = resident()
start = time.perf_counter()
n = run()
seconds = time.perf_counter() - start
print(json.dumps({"records": n, "seconds": seconds, "peak_growth": peak() - before}))
"""


def record_tag(path):
    """The most frequent name at the shallowest depth below the root that has
    at least ten elements, and that depth (the root is depth 1)."""
    by_depth = {}
    depth = 0
    for event, elem in ET.iterparse(path, events=("start", "end")):
        if event == "start":
            depth += 1
            if depth >= 2:
                names = by_depth.setdefault(depth, {})
                names[elem.tag] = names.get(elem.tag, 0) + 1
        else:
            depth -= 1
            if depth <= 2:
                elem.clear()
    for d in sorted(by_depth):
        name, count = max(by_depth[d].items(), key=lambda kv: kv[1])
        if count >= 10:
            return written_name(path, name), d
    d = min(by_depth)
    return written_name(path, max(by_depth[d], key=by_depth[d].get)), d


def written_name(path, clark):
    """The name as written in the document (its prefix back), found in its text."""
    local = clark.rsplit("}", 1)[-1]
    with open(path, "rb") as f:
        head = f.read(1 << 22).decode("utf-8", "replace")
    i = 0
    while True:
        i = head.find("<", i) + 1
        if i == 0:
            return local
        k = i
        while k < len(head) and head[k] not in " \t\r\n/>":
            k += 1
        if head[i:k].rsplit(":", 1)[-1] == local and not head.startswith(("!", "?", "/"), i):
            return head[i:k]


def generate(path, megabytes):
    """A flat document of records, about `megabytes` long."""
    record = (
        "<record id='{i}' kind=\"entry\"><title>Record {i} &amp; friends</title>"
        "<value unit='m'>{v}</value><note>{note}</note></record>\n"
    )
    note = "plain text with some length to it, " * 3
    target = megabytes << 20
    with open(path, "w", encoding="utf-8") as f:
        f.write("<?xml version='1.0' encoding='UTF-8'?>\n<records>\n")
        written, i = 0, 0
        while written < target:
            block = "".join(record.format(i=j, v=j * 7 % 1000, note=note) for j in range(i, i + 10000))
            f.write(block)
            written += len(block)
            i += 10000
        f.write("</records>\n")


def run_child(lib, path, tag, depth):
    out = subprocess.run([sys.executable, "-c", CHILD, lib, path, tag, str(depth)], capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.stdout)


def measure(files, rounds):
    results = {}
    for name, path in files:
        try:
            tag, depth = record_tag(path)
        except ET.ParseError as e:
            print(f"{name}: skipped, not well-formed ({e})", flush=True)
            continue
        runs = {lib: [] for lib in LIBRARIES}
        for r in range(rounds):
            order = LIBRARIES[r % len(LIBRARIES):] + LIBRARIES[: r % len(LIBRARIES)]
            for lib in order:
                runs[lib].append(run_child(lib, path, tag, depth))
        size = os.path.getsize(path)
        row = {"file": name, "tag": tag, "depth": depth, "bytes": size}
        for lib, got in runs.items():
            good = [g for g in got if "error" not in g]
            if not good:
                row[lib] = {"error": got[0]["error"]}
                continue
            seconds = statistics.median(g["seconds"] for g in good)
            row[lib] = {
                "records": good[0]["records"],
                "mb_s": size / seconds / 1e6,
                "peak_mb": max(g["peak_growth"] for g in good) / 2**20,
            }
        results[name] = row
        print(f"{name}: {tag} at depth {depth}: "
              + ", ".join(f"{lib} {row[lib].get('mb_s', 0):.0f} MB/s" for lib in LIBRARIES), flush=True)
    return results


def report(results):
    header = ["file", "tag", "records", "arbolite MB/s", "lxml MB/s", "etree MB/s", "xmltodict MB/s",
              "vs lxml", "vs etree", "vs xmltodict", "arbolite peak MB", "lxml peak MB", "etree peak MB",
              "xmltodict peak MB"]
    rows = []
    ratios = {"lxml": [], "etree": [], "xmltodict": []}
    for row in results.values():
        a = row["arbolite"]
        line = [row["file"], row["tag"], str(a.get("records", "-"))]
        line += [f"{row[lib]['mb_s']:.0f}" if "mb_s" in row[lib] else "error" for lib in LIBRARIES]
        for peer in ("lxml", "etree", "xmltodict"):
            if "mb_s" in a and "mb_s" in row[peer]:
                ratio = a["mb_s"] / row[peer]["mb_s"]
                ratios[peer].append(ratio)
                line.append(f"{ratio:.2f}x")
            else:
                line.append("-")
        line += [f"{row[lib]['peak_mb']:.1f}" if "peak_mb" in row[lib] else "-" for lib in LIBRARIES]
        rows.append(line)
    table(header, rows)
    for peer, values in ratios.items():
        if values:
            print(f"median speed over {peer}: {statistics.median(values):.2f}x ({len(values)} files)")
    mismatched = [r["file"] for r in results.values()
                  if "records" in r["arbolite"] and "records" in r["lxml"]
                  and r["arbolite"]["records"] != r["lxml"]["records"]]
    if mismatched:
        print("record counts differ from lxml's (nested records of the same name, which lxml yields too):",
              ", ".join(mismatched))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--files", default="*", help="comma-separated name patterns of corpus files")
    parser.add_argument("--generated", type=int, default=0, metavar="MB",
                        help="also stream a generated document of about MB megabytes")
    parser.add_argument("--no-corpus", action="store_true")
    parser.add_argument("--json")
    args = parser.parse_args()
    print(f"load average at start: {os.getloadavg()}", flush=True)
    files = []
    if not args.no_corpus:
        patterns = args.files.split(",")
        for name in sorted(os.listdir(CORPUS)):
            if name.endswith(".md") or not any(fnmatch.fnmatch(name, p) for p in patterns):
                continue
            files.append((name, os.path.join(CORPUS, name)))
    results = measure(files, args.rounds) if files else {}
    if args.generated:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, f"generated-{args.generated}MB.xml")
            generate(path, args.generated)
            results.update(measure([(os.path.basename(path), path)], args.rounds))
    report(results)
    print(f"load average at end: {os.getloadavg()}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
