"""The fixed cost of a read: documents of one shape from 2 KB to 16 MB, and
the corpus's smallest files, read from fresh bytes and from a fresh str.

    python bench/sizes.py
    python bench/sizes.py --rounds 15

The sized documents repeat the records of josm_boundaries.osm (the nodes,
ways and relations between its root tags) until they reach each size, so
they differ only in length. MB/s is the median of interleaved rounds; the
last column is each size's speed over the 4 MB document's, which a small
document should not fall far below (a call's fixed cost: slabs, buffers,
the lock handoff). lxml is read the same way beside it for scale.
"""
import argparse
import os
import re
import statistics

import arbolite
from common import CORPUS, Case, FreshText, corpus_files, fresh_bytes, interleaved, root_tag, table, well_formed

try:
    import lxml.etree as LET
except ImportError:
    LET = None

SIZES = [("2 KB", 2 << 10), ("40 KB", 40 << 10), ("300 KB", 300 << 10), ("4 MB", 4 << 20), ("16 MB", 16 << 20)]


def sized_documents():
    text = open(os.path.join(CORPUS, "josm_boundaries.osm"), encoding="utf-8").read()
    start = text.index(">", text.index("<osm")) + 1  # after the root's start tag
    end = text.rindex("</osm>")
    records = [m.group(0) for m in re.finditer(r"\s*<(node|way|relation)\b(?:[^>]*/>|[^>]*>.*?</\1>)", text[start:end],
                                                 flags=re.S)]
    out = []
    for label, size in SIZES:
        parts, total, i = [text[:start]], start, 0
        while total < size:
            parts.append(records[i % len(records)])
            total += len(parts[-1])
            i += 1
        parts.append("\n</osm>")
        out.append((label, "".join(parts), "osm"))
    return out


def smallest_files(count=3):
    files = [(n, t) for n, t in corpus_files() if not well_formed(t.encode("utf-8"))]
    files.sort(key=lambda f: len(f[1].encode("utf-8")))
    return [(name, text, root_tag(text)) for name, text in files[:count]]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=11)
    p.add_argument("--min-time", type=float, default=0.1)
    a = p.parse_args()
    docs = sized_documents() + smallest_files()
    rows = []
    for label, text, tag in docs:
        data = text.encode("utf-8")
        fresh = FreshText(text)
        cases = [Case("bytes", lambda b, tag=tag: arbolite.read_string(b, tag), lambda d=data: fresh_bytes(d)),
                 Case("str", lambda s, tag=tag: arbolite.read_string(s, tag), fresh)]
        if LET:
            cases.append(Case("lxml", LET.fromstring, lambda d=data: fresh_bytes(d)))
        samples = interleaved(cases, a.rounds, a.min_time)
        mbps = {k: len(data) / 1e6 / statistics.median(v) for k, v in samples.items()}
        rows.append((label, len(data), mbps))
    base = next(m for label, _, m in rows if label == "4 MB")
    table(["document", "bytes", "from bytes MB/s", "from str MB/s", "lxml MB/s", "bytes vs 4 MB", "str vs 4 MB"],
          [[label, str(n), f"{m['bytes']:.0f}", f"{m['str']:.0f}", f"{m['lxml']:.0f}" if "lxml" in m else "-",
            f"{m['bytes'] / base['bytes']:.2f}", f"{m['str'] / base['str']:.2f}"] for label, n, m in rows])


if __name__ == "__main__":
    main()
