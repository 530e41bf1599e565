"""Search: Node.search_by_name against iter(tag) in ElementTree and lxml on
the corpus, then Node.findall against ElementTree's findall on the median
file, with the trees out of the caches.

    python bench/search.py            # both tables
    python bench/search.py --all      # findall on every file, not just the median one
    python bench/search.py --rounds 31

findall: the same queries for both (bench/common.py findall_paths, names
in ElementTree's {uri}local form where they have a prefix), each call timed
alone after the processor's caches were overwritten (common.Evict), the
libraries alternating call by call; the median of the rounds. The median
file is the one in the middle by size of those lxml reads, as compare.py's
native measure picks it.
"""
import argparse
import collections
import statistics
import time
import xml.etree.ElementTree as ET

import arbolite
from common import Evict, corpus_files, findall_paths, median_seconds, root_tag, table, well_formed

try:
    import lxml.etree as LET
except ImportError:
    LET = None


def most_common_name(node):
    counts = collections.Counter()
    stack = [node]
    while stack:
        n = stack.pop()
        counts[n.name] += 1
        stack.extend(n.children)
    return counts.most_common(1)[0][0]


def search_table():
    rows = []
    for name, text in corpus_files():
        tag = root_tag(text)
        try:
            tree = arbolite.read_string(text, tag)
        except ValueError:
            rows.append([name, "", "not well-formed", "", "", ""])
            continue
        wanted = most_common_name(tree)
        hits = len(tree.search_by_name(wanted))
        ours = median_seconds(lambda: tree.search_by_name(wanted)) * 1e6
        # The other libraries expand prefixes into {uri}local; search for the same elements.
        et_root = ET.fromstring(text)
        et_tag = next((e.tag for e in et_root.iter() if e.tag.rsplit("}", 1)[-1] == wanted.rsplit(":", 1)[-1]), wanted)
        et = median_seconds(lambda: list(et_root.iter(et_tag))) * 1e6
        if LET:
            lx_root = LET.fromstring(text.encode("utf-8"))
            lx = median_seconds(lambda: list(lx_root.iter(et_tag))) * 1e6
        else:
            lx = float("nan")
        rows.append([name, f"{wanted} ({hits})", f"{ours:.0f}", f"{et:.0f}", f"{lx:.0f}", f"{lx / ours:.1f}x"])
    table(["file", "name (matches)", "arbolite us", "ElementTree us", "lxml us", "lxml/arbolite"], rows)


def cold_findall(text, rounds, evict):
    """[(path, matches, arbolite seconds, ElementTree seconds)] for one document."""
    data = text.encode("utf-8")
    tree = arbolite.read_string(text, root_tag(text))
    et = ET.fromstring(data)
    out = []
    for ours, theirs in findall_paths(tree, LET.fromstring(data)):
        hits = (len(tree.findall(ours)), len(et.findall(theirs)))
        calls = [lambda: tree.findall(ours), lambda: et.findall(theirs)]
        times = ([], [])
        for r in range(rounds):
            for which in ((0, 1) if r % 2 == 0 else (1, 0)):
                evict()
                t0 = time.perf_counter()
                result = calls[which]()
                times[which].append(time.perf_counter() - t0)
                del result
        out.append((ours, hits, statistics.median(times[0]), statistics.median(times[1])))
    return out


def median_file(files):
    readable = [(name, text) for name, text in files if not well_formed(text.encode("utf-8"))]
    by_size = sorted(readable, key=lambda item: len(item[1].encode("utf-8")))
    return by_size[(len(by_size) - 1) // 2]


def findall_table(files, rounds):
    evict = Evict()
    ratios, rows = [], []
    for name, text in files:
        for path, hits, ours, theirs in cold_findall(text, rounds, evict):
            ratios.append(theirs / ours)
            rows.append([name, path, "/".join(map(str, hits)), f"{ours * 1e6:.0f}", f"{theirs * 1e6:.0f}",
                         f"{theirs / ours:.1f}x"])
    table(["file", "path", "matches a/ET", "arbolite us", "ElementTree us", "ElementTree/arbolite"], rows)
    print(f"\nmedian ElementTree/arbolite over these paths: {statistics.median(ratios):.1f}x; "
          f"lowest {min(ratios):.1f}x (caches overwritten before each call; {rounds} rounds)")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--all", action="store_true", help="findall on every readable file")
    p.add_argument("--rounds", type=int, default=21)
    p.add_argument("--no-search", action="store_true", help="only the findall table")
    a = p.parse_args()
    files = corpus_files()
    if not a.no_search:
        search_table()
        print()
    if LET is None:
        raise SystemExit("the findall table needs lxml (to name the elements for ElementTree)")
    chosen = [(n, t) for n, t in files if not well_formed(t.encode("utf-8"))] if a.all else [median_file(files)]
    findall_table(chosen, a.rounds)


if __name__ == "__main__":
    main()
