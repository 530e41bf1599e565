"""Shared helpers for the benchmarks: the corpus, root tags, timing."""
import os
import statistics
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.environ.get("ARBOLITE_CORPUS", os.path.join(HERE, "..", "..", "shared", "corpus"))


def corpus_files():
    """(name, text) for every XML document of the corpus, largest last."""
    out = []
    for name in sorted(os.listdir(CORPUS)):
        if name.endswith(".md"):
            continue
        path = os.path.join(CORPUS, name)
        with open(path, encoding="utf-8") as f:
            out.append((name, f.read()))
    out.sort(key=lambda item: len(item[1]))
    return out


def root_tag(text):
    """The name of the document element as written (prefix included), or None if it does not parse."""
    try:
        for _event, elem in ET.iterparse(_bytes_io(text), events=("start",)):
            return _qualified_name(text, elem)
    except ET.ParseError:
        return None
    return None


def _bytes_io(text):
    import io
    return io.BytesIO(text.encode("utf-8"))


def _qualified_name(text, elem):
    # ElementTree expands namespaces; recover the name as written from the text.
    local = elem.tag.rsplit("}", 1)[-1]
    i = 0
    while True:
        i = text.find("<", i)
        if i < 0:
            return local
        j = i + 1
        if text.startswith(("!", "?"), j):
            i = j
            continue
        k = j
        while k < len(text) and text[k] not in " \t\r\n/>":
            k += 1
        name = text[j:k]
        if name.rsplit(":", 1)[-1] == local:
            return name
        i = j


def median_seconds(fn, repeat=5, min_time=0.2):
    """Median wall time of fn() over `repeat` rounds, each round long enough to time."""
    fn()
    t0 = time.perf_counter()
    fn()
    once = max(time.perf_counter() - t0, 1e-6)
    inner = max(1, int(min_time / once))
    rounds = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        rounds.append((time.perf_counter() - t0) / inner)
    return statistics.median(rounds)


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    sys.stdout.flush()
