"""Pickling against the XML round trip: pickle.dumps and pickle.loads of a
tree against arbolite.write_string and arbolite.read_string of the same tree.

    python bench/pickling.py            # corpus files and synthetic trees
    python bench/pickling.py --quick    # fewer rounds, synthetic trees only

For each tree, interleaved rounds time:
  dumps      pickle.dumps(tree, protocol=5)
  write      arbolite.write_string(tree, 0, False)   (no indentation, no
             declaration: the cheapest XML, so the comparison favours XML)
  loads      pickle.loads of those bytes
  read       arbolite.read_string of that XML (a fresh str per call)
and the round trips pickle (dumps + loads) and XML (write + read). A pickle
round trip must not take longer than the XML one: the last column, their
ratio, stays at or below 1. Synthetic trees: a million own nodes (1000 rows
of 1000), a chain a million levels deep, and a tree whose rows share their
cells.
"""
import argparse
import pickle
import statistics
import sys

import arbolite
from arbolite import Node
from common import Case, corpus_files, fresh_str, interleaved, root_tag, table, well_formed


def synthetic():
    rows = [Node("row", {"i": str(i), "kind": "r"}, [Node("c", {"j": str(j)}, text=f"v{j}") for j in range(1000)])
            for i in range(1000)]
    yield "1000x1000 own nodes", Node("table", children=rows), "table"
    chain = Node("n", {"k": "v"}, text="leaf")
    for _ in range(1_000_000 - 1):
        chain = Node("n", children=[chain])
    yield "chain 1e6 deep", chain, "n"
    cells = [Node("c", {"j": str(j)}, text=f"v{j}") for j in range(1000)]
    yield "1000 rows sharing cells", Node("table", children=[Node("row", {"i": str(i)}, cells) for i in range(1000)]), "table"


def measure(label, tree, tag, rounds):
    xml = arbolite.write_string(tree, 0, False)
    data = pickle.dumps(tree, protocol=5)
    cases = [
        Case("dumps", lambda _: pickle.dumps(tree, protocol=5)),
        Case("write", lambda _: arbolite.write_string(tree, 0, False)),
        Case("loads", lambda _: pickle.loads(data)),
        Case("read", lambda s: arbolite.read_string(s, tag), make_input=lambda: fresh_str(xml)),
        Case("pickle round trip", lambda _: pickle.loads(pickle.dumps(tree, protocol=5))),
        Case("XML round trip", lambda _: arbolite.read_string(arbolite.write_string(tree, 0, False), tag)),
    ]
    t = {k: statistics.median(v) for k, v in interleaved(cases, rounds).items()}
    ms = lambda k: f"{1000 * t[k]:.1f}"
    ratio = t["pickle round trip"] / t["XML round trip"]
    row = [label, f"{len(data) / 1e6:.2f}", f"{len(xml.encode()) / 1e6:.2f}", ms("dumps"), ms("write"), ms("loads"),
           ms("read"), ms("pickle round trip"), ms("XML round trip"), f"{ratio:.2f}"]
    return row, ratio


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="synthetic trees only, fewer rounds")
    args = p.parse_args()
    rounds = 3 if args.quick else 7
    rows, ratios = [], []
    trees = list(synthetic())
    if not args.quick:
        for name, text in corpus_files():
            if well_formed(text.encode("utf-8")):
                continue
            tag = root_tag(text)
            trees.append((name, arbolite.read_string(text, tag), tag))
    for label, tree, tag in trees:
        row, ratio = measure(label, tree, tag, rounds)
        rows.append(row)
        ratios.append(ratio)
        print(f"  {label}: done", file=sys.stderr)
    print(f"Python {sys.version.split()[0]}, arbolite {arbolite.__version__}; milliseconds, median of {rounds} rounds")
    table(["tree", "pickle MB", "XML MB", "dumps", "write", "loads", "read", "pickle rt", "XML rt", "pickle/XML"], rows)
    print(f"\nworst pickle/XML round-trip ratio: {max(ratios):.2f}")


if __name__ == "__main__":
    main()
