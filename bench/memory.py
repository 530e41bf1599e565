"""Memory held per element by a tree read from each corpus file, against lxml and ElementTree.

    python bench/memory.py
Each measurement runs in a fresh subprocess (imports warmed on a tiny document)
and reports the growth of resident memory while the tree is held, divided by
the number of elements; the document text itself is loaded before measuring,
and freed allocator pages are returned (malloc_trim) before each reading.
"""
import json
import os
import subprocess
import sys

from common import corpus_files, root_tag, table

PROBE = r"""
import gc, json, sys
import ctypes
_libc = ctypes.CDLL("libc.so.6")
def rss():
    gc.collect()
    _libc.malloc_trim(0)   # what the allocator keeps but the tree does not use is not held by it
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
lib, path, tag = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(path, encoding="utf-8").read()
data = text.encode("utf-8")
if lib == "arbolite":
    import arbolite
    load = lambda: arbolite.read_string(text, tag)
    arbolite.read_string("<a><b x='1'>t</b></a>", "a")
elif lib == "lxml":
    import lxml.etree as E
    load = lambda: E.fromstring(data)
    E.fromstring(b"<a><b x='1'>t</b></a>")
else:
    import xml.etree.ElementTree as E
    load = lambda: E.fromstring(text)
    E.fromstring("<a><b x='1'>t</b></a>")
gc.collect()
before = rss()
tree = load()
print(json.dumps(rss() - before))
"""


def count_elements(text):
    import xml.etree.ElementTree as ET
    return sum(1 for _ in ET.fromstring(text).iter())


def held(lib, path, tag):
    out = subprocess.run([sys.executable, "-c", PROBE, lib, path, tag], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout)


def main():
    from common import CORPUS
    rows = []
    for name, text in corpus_files():
        tag = root_tag(text)
        try:
            n = count_elements(text)
        except Exception:
            rows.append([name, "", "not well-formed", "", ""])
            continue
        path = os.path.join(CORPUS, name)
        cells = []
        for lib in ("arbolite", "lxml", "etree"):
            b = held(lib, path, tag)
            cells.append("-" if b is None else f"{b / n:.0f}")
        rows.append([name, str(n)] + cells)
    table(["file", "elements", "arbolite B/elem", "lxml B/elem", "ElementTree B/elem"], rows)


if __name__ == "__main__":
    main()
