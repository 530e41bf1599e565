"""arbolite against the fastest readers a Python user can install: the pugixml
DOM through pybind11 (`pugixml`) and Cython (`pygixml`), and the native
xmltodict look-alikes (`xmltodict-rs`, `orxml`, `obj2xml-rs`,
`quick-xmltodict`, pygixml's dictify), beside lxml, ElementTree and xmltodict.

    python bench/peers.py                   # every readable corpus file
    python bench/peers.py --quick --files 'cldr*'
    python bench/compare.py --only peers    # the same, inside compare.py's run

Rows: parse bytes, parse bytes + drop (the tree released inside the timing),
parse str, parse + walk, to dict, find by name. Each
library makes its own idiomatic fastest call on the same input: a new bytes
object per call for the bytes rows, a never-encoded str per call for the str
rows (common.FreshText). Calls alternate within each round; each figure is
the median of the rounds. Every timed find starts with every tree out of the
caches (common.Evict before each call, for every library). A peer that is not
installed is left out and named. Ratios are arbolite's speed over the peer's
per file; the summary gives their median over the files and the worst file.
"""
import argparse
import fnmatch
import statistics
import sys
import xml.etree.ElementTree as ET

import arbolite
from common import Case, Evict, FreshText, clark_name, corpus_files, fresh_bytes, interleaved, most_common_name, \
    root_tag, table, walk_arbolite, walk_etree, well_formed

try:
    import lxml.etree as LET
except ImportError:
    LET = None
try:
    import xmltodict
except ImportError:
    xmltodict = None
try:
    from pugixml import pugi
except ImportError:
    pugi = None
try:
    import pygixml
except ImportError:
    pygixml = None
DICT_PEERS = {}
for _module, _label in (("xmltodict_rs", "xmltodict-rs"), ("orxml", "orxml"), ("obj2xml_rs", "obj2xml-rs"),
                        ("quick_xmltodict", "quick-xmltodict")):
    try:
        DICT_PEERS[_label] = __import__(_module).parse
    except ImportError:
        pass


def missing():
    wanted = {"lxml": LET, "xmltodict": xmltodict, "pugixml": pugi, "pygixml": pygixml}
    names = [k for k, v in wanted.items() if v is None]
    names += [k for k in ("xmltodict-rs", "orxml", "obj2xml-rs", "quick-xmltodict") if k not in DICT_PEERS]
    return names


# ---- each peer's calls -------------------------------------------------------

def pugi_bytes(data):
    doc = pugi.XMLDocument()
    doc.load_buffer(data, len(data))
    return doc


def pugi_str(text):
    doc = pugi.XMLDocument()
    doc.load_string(text)
    return doc


def walk_pugi(doc):
    element = pugi.NODE_ELEMENT
    stack = [doc.document_element()]
    n = 0
    while stack:
        e = stack.pop()
        n += 1
        e.name()
        for a in e.attributes():
            a.name(), a.value()
        e.child_value()
        stack.extend(c for c in e.children() if c.type() == element)
    return n


def walk_pygixml(doc):
    stack = [doc.root]
    n = 0
    while stack:
        e = stack.pop()
        n += 1
        e.name
        a = e.first_attribute()
        while a is not None and a.name is not None:
            a.value
            a = a.next_attribute
        e.child_value()
        stack.extend(e.children())
    return n


def walked(parse, walk):
    def run(arg):
        tree = parse(arg)
        walk(tree)
        return tree  # released outside the timing
    return run


def dropped(parse):
    def run(arg):
        parse(arg)  # the result is released before the call returns
    return run


# ---- the rows ---------------------------------------------------------------

def row_cases(d):
    """{row: ([Case], {label: check value})} for one document; arbolite first in each."""
    fresh = FreshText(d.text)
    new_bytes = lambda: fresh_bytes(d.data)  # noqa: E731
    read = lambda x: arbolite.read_string(x, d.tag)  # noqa: E731
    rows = {}

    cases = [Case("arbolite", read, new_bytes)]
    if pugi:
        cases.append(Case("pugixml", pugi_bytes, new_bytes))
    if LET:
        cases.append(Case("lxml", LET.fromstring, new_bytes))
    cases.append(Case("ElementTree", ET.fromstring, new_bytes))
    rows["parse bytes"] = cases

    # What a caller pays per document read and let go: the release inside the timing.
    cases = [Case(c.label, dropped(c.call), new_bytes) for c in cases]
    rows["parse bytes + drop"] = cases

    cases = [Case("arbolite", read, fresh)]
    if pugi:
        cases.append(Case("pugixml", pugi_str, fresh))
    if pygixml:
        cases.append(Case("pygixml", pygixml.parse_string, fresh))
    rows["parse str"] = cases

    cases = [Case("arbolite", walked(read, walk_arbolite), new_bytes)]
    if pugi:
        cases.append(Case("pugixml", walked(pugi_bytes, walk_pugi), new_bytes))
    if pygixml:
        cases.append(Case("pygixml", walked(pygixml.parse_string, walk_pygixml), fresh))
    if LET:
        cases.append(Case("lxml", walked(LET.fromstring, walk_etree), new_bytes))
    rows["parse + walk"] = cases

    # arbolite.parse_dict makes the look-alikes' shape; to_dict, arbolite's own, is shown beside it
    cases = [Case("arbolite", arbolite.parse_dict, fresh),
             Case("arbolite to_dict", lambda s: read(s).to_dict(), fresh)]
    if xmltodict:
        cases.append(Case("xmltodict", xmltodict.parse, fresh))
    for label, parse in DICT_PEERS.items():
        cases.append(Case(label, parse, fresh))
    if pygixml:
        cases.append(Case("pygixml dictify", pygixml.dictify.parse, fresh))
    rows["to dict"] = cases
    return rows


def find_cases(d, evict):
    """The most common element name found in every tree, each call after the caches were overwritten."""
    tree = arbolite.read_string(d.text, d.tag)
    wanted = most_common_name(tree)
    keep = [tree]
    cases = [Case("arbolite", lambda _: tree.search_by_name(wanted), evict)]
    hits = {"arbolite": len(tree.search_by_name(wanted))}
    xpath = f"//{wanted}"  # pugixml matches names as written, as arbolite does
    if pugi:
        pdoc = pugi_bytes(d.data)
        keep.append(pdoc)
        cases.append(Case("pugixml", lambda _: pdoc.select_nodes(xpath), evict))
        hits["pugixml"] = len(pdoc.select_nodes(xpath))
    if pygixml:
        gdoc = pygixml.parse_string(d.text)
        keep.append(gdoc)
        cases.append(Case("pygixml", lambda _: gdoc.root.select_nodes(xpath), evict))
        hits["pygixml"] = len(gdoc.root.select_nodes(xpath))
    if LET:
        lroot = LET.fromstring(d.data)
        tag = clark_name(lroot, wanted)
        keep.append(lroot)
        cases.append(Case("lxml", lambda _: list(lroot.iter(tag)), evict))
        hits["lxml"] = len(list(lroot.iter(tag)))
    return cases, hits, keep


def ratios(samples):
    seconds = {k: statistics.median(v) for k, v in samples.items()}
    return seconds, {k: seconds[k] / seconds["arbolite"] for k in seconds if k != "arbolite"}


def measure_peers(docs, rounds, min_time):
    """[{file, row, seconds, ratio}] for every document and row, with the tables printed."""
    if missing():
        print(f"(not installed, left out: {', '.join(missing())})")
    evict = Evict()
    results = []
    for d in docs:
        for row, cases in row_cases(d).items():
            seconds, ratio = ratios(interleaved(cases, rounds, min_time))
            results.append({"file": d.name, "row": row, "MB": len(d.data) / 1e6, "seconds": seconds, "ratio": ratio})
        cases, hits, keep = find_cases(d, evict)
        seconds, ratio = ratios(interleaved(cases, rounds, min_time=0))
        results.append({"file": d.name, "row": "find by name", "MB": len(d.data) / 1e6, "seconds": seconds,
                        "ratio": ratio, "hits": hits})
        del keep
    for row in dict.fromkeys(r["row"] for r in results):
        mine = [r for r in results if r["row"] == row]
        peers = list(mine[0]["ratio"])
        print(f"\n## peers, {row}: arbolite's speed over each peer's (> 1: arbolite faster)"
              + ("; arbolite MB/s" if row != "find by name" else "; microseconds, caches overwritten first"))
        first = "arbolite us" if row == "find by name" else "arbolite MB/s"
        own = (lambda r: f"{r['seconds']['arbolite'] * 1e6:.0f}") if row == "find by name" else \
            (lambda r: f"{r['MB'] / r['seconds']['arbolite']:.0f}")
        table(["file", first] + peers + (["matches"] if row == "find by name" else []),
              [[r["file"], own(r)] + [f"{r['ratio'][p]:.2f}x" for p in peers]
               + (["/".join(f"{k} {v}" for k, v in r["hits"].items())] if "hits" in r else []) for r in mine])
    return results


def summary(results):
    """{row: {peer: (median ratio, worst ratio, worst file)}}"""
    out = {}
    for row in dict.fromkeys(r["row"] for r in results):
        mine = [r for r in results if r["row"] == row]
        out[row] = {}
        for peer in mine[0]["ratio"]:
            values = [(r["ratio"][peer], r["file"]) for r in mine]
            worst = min(values)
            out[row][peer] = (statistics.median(v for v, _ in values), worst[0], worst[1])
    return out


def print_summary(s):
    rows = [[row, peer, f"{m:.2f}x", f"{w:.2f}x ({f})"] for row, peers in s.items() for peer, (m, w, f) in
            peers.items()]
    print("\n## peers summary: arbolite's median per-file ratio against each peer, and its worst file")
    table(["row", "peer", "median", "worst (file)"], rows)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="few rounds and short samples: a smoke run")
    p.add_argument("--files", default="*", help="comma-separated file name patterns (fnmatch)")
    p.add_argument("--rounds", type=int, help="interleaved rounds (default 11; quick 3)")
    p.add_argument("--min-time", type=float, help="seconds per sample (default 0.2; quick 0.02)")
    a = p.parse_args()
    rounds = a.rounds or (3 if a.quick else 11)
    min_time = a.min_time or (0.02 if a.quick else 0.2)
    patterns = [x.strip() for x in a.files.split(",") if x.strip()]

    class Doc:
        def __init__(self, name, text):
            self.name, self.text, self.data, self.tag = name, text, text.encode("utf-8"), root_tag(text)

    docs = [Doc(n, t) for n, t in corpus_files()
            if any(fnmatch.fnmatch(n, pat) for pat in patterns) and not well_formed(t.encode("utf-8"))]
    if not docs:
        sys.exit("no readable file selected")
    print_summary(summary(measure_peers(docs, rounds, min_time)))


if __name__ == "__main__":
    main()
