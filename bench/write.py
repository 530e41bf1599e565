"""Write throughput: arbolite.write_string against ElementTree and lxml on trees read from the corpus.

    python bench/write.py           # MB/s of each library's own output per file, median of interleaved rounds

The same work for each: arbolite.write_string(tree) (indent 4, declaration),
lxml.etree.tostring(pretty_print=True, encoding="unicode"), and
ElementTree.tostring(encoding="unicode") of a tree indented beforehand (four
spaces, outside the timing). Outputs differ in size (lxml keeps the source's
whitespace and indents only where there is none), so each library's MB/s
counts its own output, and the sizes are listed.
"""
import statistics
import xml.etree.ElementTree as ET

import arbolite
import lxml.etree as LET
from common import Case, corpus_files, interleaved, root_tag, table, well_formed


def main():
    rows, ratios = [], []
    for name, text in corpus_files():
        data = text.encode("utf-8")
        if well_formed(data):
            rows.append([name, "not well-formed", "", "", "", ""])
            continue
        tree = arbolite.read_string(text, root_tag(text))
        lx = LET.fromstring(data)
        et = ET.fromstring(data)
        ET.indent(et, space="    ")
        calls = {
            "arbolite": lambda _: arbolite.write_string(tree),
            "ElementTree": lambda _: ET.tostring(et, encoding="unicode"),
            "lxml": lambda _: LET.tostring(lx, pretty_print=True, encoding="unicode"),
        }
        mb = {k: len(fn(None).encode("utf-8")) / 1e6 for k, fn in calls.items()}
        samples = interleaved([Case(k, fn) for k, fn in calls.items()], rounds=7)
        ours, et_rate, lx_rate = (mb[k] / statistics.median(samples[k]) for k in ("arbolite", "ElementTree", "lxml"))
        ratios.append(ours / lx_rate)
        rows.append([name, "/".join(f"{mb[k]:.2f}" for k in ("arbolite", "ElementTree", "lxml")), f"{ours:.0f}",
                     f"{et_rate:.0f}", f"{lx_rate:.0f}", f"{ours / lx_rate:.2f}"])
    table(["file", "output MB arbolite/ET/lxml", "arbolite MB/s", "ElementTree MB/s", "lxml pretty MB/s",
           "arbolite/lxml"], rows)
    if ratios:
        print(f"\nmedian arbolite/lxml ratio (each library's own output): {statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
