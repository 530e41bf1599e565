"""Read throughput: arbolite.read_string against ElementTree and lxml on the corpus.

    python bench/read.py            # MB/s per file, median of several runs
"""
import statistics
import xml.etree.ElementTree as ET

import arbolite
from common import corpus_files, median_seconds, root_tag, table

try:
    import lxml.etree as LET
except ImportError:  # lxml is optional here
    LET = None


def main():
    rows, ratios = [], []
    for name, text in corpus_files():
        tag = root_tag(text)
        size_mb = len(text.encode("utf-8")) / 1e6
        data = text.encode("utf-8")
        try:
            arbolite.read_string(text, tag)
        except ValueError as e:
            rows.append([name, f"{size_mb:.2f}", f"not well-formed: {e}"[:40], "", "", ""])
            continue
        ours = size_mb / median_seconds(lambda: arbolite.read_string(text, tag))
        et = size_mb / median_seconds(lambda: ET.fromstring(text))
        lx = size_mb / median_seconds(lambda: LET.fromstring(data)) if LET else float("nan")
        ratios.append(ours / lx)
        rows.append([name, f"{size_mb:.2f}", f"{ours:.0f}", f"{et:.0f}", f"{lx:.0f}", f"{ours / lx:.2f}"])
    table(["file", "MB", "arbolite MB/s", "ElementTree MB/s", "lxml MB/s", "arbolite/lxml"], rows)
    if ratios:
        print(f"\nmedian arbolite/lxml ratio: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
