"""Search: Node.search_by_name against iter(tag) in ElementTree and lxml on the corpus.

    python bench/search.py          # microseconds per full search of the most common element name
"""
import collections
import xml.etree.ElementTree as ET

import arbolite
from common import corpus_files, median_seconds, root_tag, table

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


def main():
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


if __name__ == "__main__":
    main()
