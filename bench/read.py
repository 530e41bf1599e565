"""Read throughput: arbolite.read_string against ElementTree and lxml on the corpus.

    python bench/read.py            # MB/s per file, median of interleaved rounds

Each call gets fresh input, made outside the timing: arbolite a str never
encoded before (a reused str keeps its UTF-8 form cached, which hides the
encoding every real caller pays for), lxml and ElementTree new bytes.
bench/compare.py measures this and more in one run.
"""
import statistics
import xml.etree.ElementTree as ET

import arbolite
import lxml.etree as LET
from common import Case, FreshText, corpus_files, fresh_bytes, interleaved, root_tag, table, well_formed


def main():
    rows, ratios = [], []
    for name, text in corpus_files():
        tag = root_tag(text)
        data = text.encode("utf-8")
        size_mb = len(data) / 1e6
        problem = well_formed(data)
        if problem:
            rows.append([name, f"{size_mb:.2f}", f"not well-formed: {problem}"[:40], "", "", ""])
            continue
        samples = interleaved([
            Case("arbolite", lambda s: arbolite.read_string(s, tag), FreshText(text)),
            Case("ElementTree", ET.fromstring, lambda: fresh_bytes(data)),
            Case("lxml", LET.fromstring, lambda: fresh_bytes(data)),
        ], rounds=7)
        ours, et, lx = (size_mb / statistics.median(samples[k]) for k in ("arbolite", "ElementTree", "lxml"))
        ratios.append(ours / lx)
        rows.append([name, f"{size_mb:.2f}", f"{ours:.0f}", f"{et:.0f}", f"{lx:.0f}", f"{ours / lx:.2f}"])
    table(["file", "MB", "arbolite MB/s", "ElementTree MB/s", "lxml MB/s", "arbolite/lxml"], rows)
    if ratios:
        print(f"\nmedian arbolite/lxml ratio: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
