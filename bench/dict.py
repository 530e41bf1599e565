"""Dictionary conversion: arbolite.read_string + Node.to_dict against xmltodict.parse on the corpus.

    python bench/dict.py            # MB/s per file, median of several runs

Both sides go from XML text to nested dicts; the shapes differ (xmltodict folds
attributes and repeated children into its own layout), the work is comparable.
Node.from_dict of the same dicts is timed as well.
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
            rows.append([name, f"{size_mb:.2f}", "skipped: ElementTree cannot parse it", "", "", ""])
            continue
        try:
            tree = arbolite.read_string(text, tag)
        except ValueError as e:
            rows.append([name, f"{size_mb:.2f}", f"skipped, arbolite: {e}"[:60], "", "", ""])
            continue
        try:
            xmltodict.parse(text)
        except Exception as e:
            rows.append([name, f"{size_mb:.2f}", f"skipped, xmltodict: {type(e).__name__}: {e}"[:60], "", "", ""])
            continue
        ours = size_mb / median_seconds(lambda: arbolite.read_string(text, tag).to_dict())
        theirs = size_mb / median_seconds(lambda: xmltodict.parse(text))
        as_dict = tree.to_dict()
        back = size_mb / median_seconds(lambda: arbolite.Node.from_dict(as_dict))
        ratios.append(ours / theirs)
        rows.append([name, f"{size_mb:.2f}", f"{ours:.1f}", f"{theirs:.1f}", f"{ours / theirs:.1f}", f"{back:.1f}"])
    table(["file", "MB", "read+to_dict MB/s", "xmltodict MB/s", "ratio", "from_dict MB/s"], rows)
    if ratios:
        print(f"\nmedian (read_string + to_dict) / xmltodict.parse: {statistics.median(ratios):.1f}x")


if __name__ == "__main__":
    main()
