"""Parse files in worker processes with a Dask bag, and bring back Nodes
and dicts.

Dask's multiprocessing scheduler runs each partition in another process and
pickles the results back: Nodes travel as one compact byte string per tree
(shared children stay shared), dicts from to_dict() as plain dicts.
Dask is only needed for this example (pip install "dask[bag]").

    python examples/dask_bag.py
"""
import os
import sys
import tempfile
from collections import Counter

import dask
import dask.bag as db

import arbolite

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import write_catalogues  # noqa: E402


def cheap_books(path: str) -> arbolite.Node:
    """The catalogue's books under 10 EUR, as a new tree that shares them."""
    catalogue = arbolite.read_file(path, "catalogue")
    cheap = [b for b in catalogue.search_by_name("book") if float(b.search_by_name("price")[0].text or 0) < 10]
    return arbolite.Node("cheap", {"from": os.path.basename(path)}, cheap + cheap[:1])


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        paths = write_catalogues(folder)
        bag = db.from_sequence(paths, npartitions=4)
        with dask.config.set(scheduler="processes", num_workers=2):
            # Nodes back from the workers.
            trees = bag.map(cheap_books).compute()
            # Plain dicts, for code that wants JSON-like data.
            dicts = bag.map(lambda p: arbolite.read_file(p, "catalogue").to_dict()).compute()
            workers = set(bag.map(lambda p: os.getpid()).compute())
            # A reduction in the workers: books per genre.
            genres = dict(bag.map(lambda p: arbolite.read_file(p, "catalogue"))
                          .map(lambda c: [b.attrs["genre"] for b in c.search_by_name("book")])
                          .flatten().frequencies().compute())

        assert os.getpid() not in workers, "the work did not run in other processes"
        assert all(isinstance(t, arbolite.Node) for t in trees)
        # The first cheap book was put in twice; it is still one node.
        assert all(t.children[0] is t.children[-1] for t in trees if t.children)
        books = sum(len(d["children"]) for d in dicts)
        assert genres == Counter(b["attrs"]["genre"] for d in dicts for b in d["children"])
        print(f"{len(trees)} trees and {len(dicts)} dicts back from other processes ({len(workers)} seen), {books} books")
        print(f"cheap books: {sum(len(t.children) - 1 for t in trees if t.children)}")
        print("books per genre:", dict(sorted(genres.items())))
        print(arbolite.write_string(trees[0].children[0], indent=2, default_xml_def=False))


if __name__ == "__main__":
    main()
