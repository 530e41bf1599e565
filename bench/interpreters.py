"""Python-side work in parallel: read + a full walk in Python + to_dict of
separate documents, on 1 worker against 2, with threads and with interpreters
that have their own lock (3.14+).

    python bench/interpreters.py                 # about a minute
    python bench/interpreters.py --files 16 --rounds 5

The documents are copies of the median corpus file (each a separate file, read
with read_file). Reading releases the lock, but the walk and to_dict hold it,
so 2 threads gain little on a build with the lock; 2 interpreters each have
their own. The table gives the median wall time of each configuration over
--rounds rounds and the speed-up of 2 workers over 1 of the same kind.
"""
import sys

if sys.version_info < (3, 14):
    sys.exit(f"bench/interpreters.py needs Python 3.14 or later; this is {sys.version.split()[0]} ({sys.executable})")

import argparse  # noqa: E402
import os  # noqa: E402
import shutil  # noqa: E402
import site  # noqa: E402
import statistics  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from concurrent.futures import InterpreterPoolExecutor, ThreadPoolExecutor  # noqa: E402

import arbolite  # noqa: E402
from common import CORPUS, HERE, corpus_files, root_tag, table  # noqa: E402


def work(job: tuple[str, str]) -> int:
    """Read, walk every node in Python (name, attributes, text), convert to dicts."""
    path, tag = job
    root = arbolite.read_file(path, tag)
    seen = 0
    stack = [root]
    while stack:
        node = stack.pop()
        seen += len(node.name) + len(node.attrs) + len(node.text or "")
        stack.extend(node.children)
    return seen + len(root.to_dict()["children"])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=16)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    docs = [(name, text) for name, text in corpus_files() if root_tag(text)]
    name, text = docs[len(docs) // 2]
    median = os.path.join(CORPUS, name)
    tag = root_tag(text)
    import interpreters as this  # workers find `work` by module name

    with tempfile.TemporaryDirectory() as folder:
        jobs = []
        for k in range(args.files):
            path = os.path.join(folder, f"doc-{k}.xml")
            shutil.copyfile(median, path)
            jobs.append((path, tag))
        expected = [work(j) for j in jobs]
        kinds = {
            "threads": lambda n: ThreadPoolExecutor(max_workers=n),
            "interpreters": lambda n: InterpreterPoolExecutor(max_workers=n, initializer=site.addsitedir, initargs=(HERE,)),
        }
        times: dict[tuple[str, int], list[float]] = {}
        pools = {(kind, n): make(n) for kind, make in kinds.items() for n in (1, 2)}
        try:
            for pool in pools.values():
                assert list(pool.map(this.work, jobs)) == expected  # warm: workers started, module imported
            for _ in range(args.rounds):  # interleaved, so load on the machine hits every configuration
                for key, pool in pools.items():
                    start = time.perf_counter()
                    got = list(pool.map(this.work, jobs))
                    times.setdefault(key, []).append(time.perf_counter() - start)
                    assert got == expected
        finally:
            for pool in pools.values():
                pool.shutdown()

    size = os.path.getsize(median)
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; {args.files} copies of "
          f"{os.path.basename(median)} ({size:,} bytes), median of {args.rounds} rounds")
    rows = []
    for kind in kinds:
        one, two = (statistics.median(times[(kind, n)]) for n in (1, 2))
        rows.append([kind, f"{one * 1000:.0f}", f"{two * 1000:.0f}", f"{one / two:.2f}x"])
    table(["workers", "1 worker ms", "2 workers ms", "speed-up"], rows)


if __name__ == "__main__":
    main()
