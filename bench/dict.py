"""Dictionary conversion on the corpus: arbolite.read_string + Node.to_dict and
arbolite.parse_dict against xmltodict.parse, arbolite.unparse_dict against
xmltodict.unparse.

    python bench/dict.py            # MB/s per file, median of several runs

read_string + to_dict gives arbolite's own shape, parse_dict gives exactly
xmltodict's; unparse_dict and xmltodict.unparse both write what parse_dict
gave. Node.from_dict of the to_dict dicts is timed as well.
"""
import statistics

import arbolite
from common import corpus_files, median_seconds, root_tag, table

try:
    import xmltodict
except ImportError:
    raise SystemExit("xmltodict is needed: pip install xmltodict")


def main():
    if not hasattr(arbolite, "read_string"):
        raise SystemExit("arbolite.read_string is not available in this build")
    rows, ratios = [], []
    for name, text in corpus_files():
        size_mb = len(text.encode("utf-8")) / 1e6
        tag = root_tag(text)
        if tag is None:
            rows.append([name, f"{size_mb:.2f}", "skipped: ElementTree cannot parse it", *[""] * 8])
            continue
        try:
            tree = arbolite.read_string(text, tag)
        except ValueError as e:
            rows.append([name, f"{size_mb:.2f}", f"skipped, arbolite: {e}"[:60], *[""] * 8])
            continue
        try:
            xmltodict.parse(text)
        except Exception as e:
            rows.append([name, f"{size_mb:.2f}", f"skipped, xmltodict: {type(e).__name__}: {e}"[:60], *[""] * 8])
            continue
        ours = size_mb / median_seconds(lambda: arbolite.read_string(text, tag).to_dict())
        theirs = size_mb / median_seconds(lambda: xmltodict.parse(text))
        shaped = size_mb / median_seconds(lambda: arbolite.parse_dict(text))
        as_dict = tree.to_dict()
        back = size_mb / median_seconds(lambda: arbolite.Node.from_dict(as_dict))
        mapping = arbolite.parse_dict(text)
        written = size_mb / median_seconds(lambda: arbolite.unparse_dict(mapping))
        their_written = size_mb / median_seconds(lambda: xmltodict.unparse(mapping))
        ratios.append((ours / theirs, shaped / theirs, written / their_written))
        rows.append([name, f"{size_mb:.2f}", f"{ours:.1f}", f"{shaped:.1f}", f"{theirs:.1f}", f"{ours / theirs:.1f}",
                     f"{shaped / theirs:.1f}", f"{back:.1f}", f"{written:.1f}", f"{their_written:.1f}",
                     f"{written / their_written:.1f}"])
    table(["file", "MB", "read+to_dict MB/s", "parse_dict MB/s", "xmltodict.parse MB/s", "ratio", "parse_dict ratio",
           "from_dict MB/s", "unparse_dict MB/s", "xmltodict.unparse MB/s", "unparse ratio"], rows)
    if ratios:
        print(f"\nmedian (read_string + to_dict) / xmltodict.parse: {statistics.median(r[0] for r in ratios):.1f}x")
        print(f"median parse_dict / xmltodict.parse: {statistics.median(r[1] for r in ratios):.1f}x")
        print(f"median unparse_dict / xmltodict.unparse: {statistics.median(r[2] for r in ratios):.1f}x")


if __name__ == "__main__":
    main()
