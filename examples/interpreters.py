"""Walk many documents in parallel with interpreters of their own (3.14+).

Reading releases the interpreter lock, so threads already read in parallel;
but walking a tree in Python, to_dict and the caller's own code hold the
lock, so threads take turns there. InterpreterPoolExecutor runs each call in
an interpreter with its own lock and its own arbolite module. Nodes stay in
the interpreter that made them; what comes back is plain values or a
pickle, which loads as nodes of the interpreter that receives it.

    python examples/interpreters.py
"""
import os
import pickle
import site
import sys
import tempfile
import time

if sys.version_info < (3, 14):
    sys.exit(f"examples/interpreters.py needs Python 3.14 or later; this is {sys.version.split()[0]}")

from concurrent.futures import InterpreterPoolExecutor  # noqa: E402

import arbolite  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import write_catalogues  # noqa: E402


def genres(path: str) -> dict[str, int]:
    """In a worker: read a file and walk it in Python; plain values go back."""
    counts: dict[str, int] = {}
    for book in arbolite.read_file(path, "catalogue").children:
        genre = book.attrs["genre"]
        counts[genre] = counts.get(genre, 0) + 1
    return counts


def cheapest(path: str) -> bytes:
    """In a worker: the cheapest book, pickled; it loads as a node here."""
    books = arbolite.read_file(path, "catalogue").children
    return pickle.dumps(min(books, key=lambda b: float(b.search_by_name("price")[0].text or 0)))


def main() -> None:
    # A worker finds these functions by module name: it imports this file as
    # `interpreters` from the folder its initializer adds to sys.path.
    import interpreters as this

    with tempfile.TemporaryDirectory() as folder:
        paths = write_catalogues(folder, files=16, books=4000)

        start = time.perf_counter()
        expected = [genres(p) for p in paths]
        alone = time.perf_counter() - start

        # A worker starts with the interpreter's own search path: this folder is added.
        with InterpreterPoolExecutor(os.cpu_count() or 2, initializer=site.addsitedir, initargs=(HERE,)) as pool:
            list(pool.map(this.genres, paths[:2]))  # the workers start and import arbolite
            start = time.perf_counter()
            counted = list(pool.map(this.genres, paths))
            pooled = time.perf_counter() - start
            best = [pickle.loads(b) for b in pool.map(this.cheapest, paths)]

    assert counted == expected, "the interpreters counted differently"
    assert all(type(b) is arbolite.Node and b.name == "book" for b in best)
    print(f"{sum(sum(c.values()) for c in counted)} books in {len(paths)} files:"
          f" {alone:.2f} s in one interpreter, {pooled:.2f} s in a pool of interpreters")
    print("cheapest of the first file:", best[0].attrs["id"], best[0].search_by_name("price")[0].text)


if __name__ == "__main__":
    main()
