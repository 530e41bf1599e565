"""Memory held per element by a tree read from each corpus file, against lxml and ElementTree.

    python bench/memory.py

Each measurement runs in a fresh interpreter (imports warmed on a tiny
document) and reports the growth of resident memory while the tree is held,
divided by the number of elements. The input is loaded before measuring and
freed allocator pages are returned (malloc_trim) before each reading. arbolite
reads a fresh copy of the str, which dies before the second reading together
with the UTF-8 form the reader cached on it, so only the tree is counted; lxml
and ElementTree read bytes, which cache nothing. The probe is in bench/common.py.
"""
import os

from common import CORPUS, corpus_files, count_elements, memory_held, root_tag, table, well_formed


def main():
    rows = []
    for name, text in corpus_files():
        data = text.encode("utf-8")
        if well_formed(data):
            rows.append([name, "", "not well-formed", "", ""])
            continue
        n = count_elements(data)
        cells = []
        for lib in ("arbolite", "lxml", "etree"):
            held, _err = memory_held(lib, os.path.join(CORPUS, name), root_tag(text))
            cells.append("-" if held is None else f"{held / n:.0f}")
        rows.append([name, str(n)] + cells)
    table(["file", "elements", "arbolite B/elem", "lxml B/elem", "ElementTree B/elem"], rows)


if __name__ == "__main__":
    main()
