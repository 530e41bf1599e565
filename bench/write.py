"""Write throughput: arbolite.write_string against ElementTree and lxml on trees read from the corpus.

    python bench/write.py           # MB/s of output per file, median of several runs
"""
import statistics
import xml.etree.ElementTree as ET

import arbolite
from common import corpus_files, median_seconds, root_tag, table

try:
    import lxml.etree as LET
except ImportError:
    LET = None


def main():
    rows, ratios = [], []
    for name, text in corpus_files():
        tag = root_tag(text)
        try:
            tree = arbolite.read_string(text, tag)
        except ValueError:
            rows.append([name, "", "not well-formed", "", "", ""])
            continue
        out = arbolite.write_string(tree)
        size_mb = len(out.encode("utf-8")) / 1e6
        ours = size_mb / median_seconds(lambda: arbolite.write_string(tree))
        et_tree = ET.fromstring(text)
        et = size_mb / median_seconds(lambda: ET.tostring(et_tree, encoding="unicode"))
        if LET:
            lx_tree = LET.fromstring(text.encode("utf-8"))
            lx = size_mb / median_seconds(lambda: LET.tostring(lx_tree, pretty_print=True, encoding="unicode"))
        else:
            lx = float("nan")
        ratios.append(ours / lx)
        rows.append([name, f"{size_mb:.2f}", f"{ours:.0f}", f"{et:.0f}", f"{lx:.0f}", f"{ours / lx:.2f}"])
    table(["file", "output MB", "arbolite MB/s", "ElementTree MB/s", "lxml pretty MB/s", "arbolite/lxml"], rows)
    if ratios:
        print(f"\nmedian arbolite/lxml ratio: {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
