"""Hostile documents at two sizes, the second ten times the first: reading
(and writing, where the tree can be written back) must grow about tenfold,
never a hundredfold.

Between a few MB and a hundred, memory effects (caches, fresh pages) alone
can push a tenfold size past a tenfold time; the "encode ratio" column times
doc.encode() at both sizes, a pass over the same bytes that is linear by
construction, to tell those apart from the module's own growth, and a 20x size gives the
doubling ratio time(20x)/time(10x), which is about 2 when linear, about 4 when
quadratic, and is measured where those thresholds are already behind.

    PYTHONPATH=build/<dir> python bench/hostile.py
"""
import gc
import itertools
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import arbolite  # noqa: E402
from common import median_seconds, table  # noqa: E402


def attrs_plain(n):
    return "<r " + " ".join(f'a{i}="{i}"' for i in range(n)) + "/>"


def attrs_colliding(n):
    # Every name has the same length and the same sum of bytes.
    letters = [chr(c) for c in range(ord("a"), ord("z") + 1)]
    names = ("x" + "".join(letters[i] + letters[25 - i] for i in combo)
             for combo in itertools.product(range(26), repeat=4))
    return "<r " + " ".join(f'{name}="{i}"' for i, name in zip(range(n), names)) + "/>"


def attr_value(n):
    return '<r a="' + "v" * n + '"/>'


def escaped_attr_value(n):
    return '<r a="' + "&amp;" * (n // 5) + '"/>'


def long_name(n):
    name = "n" * n
    return "<" + name + ' k="v">t</' + name + ">"


def long_text(n):
    return "<r>" + "t" * n + "</r>"


def nesting(n):
    return "<n>" * n + "</n>" * n


# name, document builder, root tag (None: the builder's own long name), 1x size, write back
CASES = [
    ("attributes", attrs_plain, "r", 20_000, True),
    ("colliding attribute names", attrs_colliding, "r", 20_000, True),
    ("attribute value bytes", attr_value, "r", 1_000_000, True),
    ("escaped attribute value bytes", escaped_attr_value, "r", 1_000_000, True),
    ("name bytes", long_name, None, 1_000_000, True),
    ("text bytes", long_text, "r", 10_000_000, True),
    ("nesting depth", nesting, "n", 100_000, True),
]


def main():
    rows = []
    worst = 0.0
    worst_encode = 0.0
    for label, build, tag, size, write in CASES:
        times = {}
        for scale in (1, 10, 20):
            n = size * scale
            doc = build(n)
            root_tag = tag or "n" * n
            read = median_seconds(lambda: arbolite.read_string(doc, root_tag), repeat=3, min_time=0.05)
            encode = median_seconds(lambda: doc.encode(), repeat=3, min_time=0.05)
            tree = arbolite.read_string(doc, root_tag)
            wrote = None
            if write:
                wrote = median_seconds(lambda: arbolite.write_string(tree, indent=0), repeat=3, min_time=0.05)
            times[scale] = (read, wrote, encode)
            del tree, doc
            gc.collect()
        (r1, w1, e1), (r10, w10, e10), (r20, w20, _) = times[1], times[10], times[20]
        read_ratio = r10 / r1
        worst = max(worst, read_ratio)
        row = [label, f"{size:,}", f"{r1:.4f}", f"{size * 10:,}", f"{r10:.4f}", f"{read_ratio:.1f}"]
        if write:
            worst = max(worst, w10 / w1)
            row += [f"{w1:.4f}", f"{w10:.4f}", f"{w10 / w1:.1f}"]
        else:
            row += ["-", "-", "-"]
        row += [f"{r20 / r10:.1f}", f"{w20 / w10:.1f}" if write else "-"]
        row.append(f"{e10 / e1:.1f}")
        worst_encode = max(worst_encode, e10 / e1)
        rows.append(row)
    table(["case", "1x", "read s", "10x", "read s", "read ratio", "write s 1x", "write s 10x", "write ratio", "read 20x/10x", "write 20x/10x", "encode ratio"], rows)
    print(f"worst 10x/1x ratio {worst:.1f} (linear is about 10; quadratic about 100); "
          f"worst encode ratio {worst_encode:.1f} (memory effects alone)")


if __name__ == "__main__":
    main()
