"""Parse many files at once with a thread pool.

arbolite releases the interpreter lock while it reads and parses a file, so
threads parse in parallel on several cores; the Python code around the calls
(here, the search and the sums) takes the lock as usual.

    python examples/thread_pool.py
"""
import os
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import arbolite

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import write_catalogues  # noqa: E402


def total_price(path: str) -> float:
    catalogue = arbolite.read_file(path, "catalogue")
    return sum(float(price.text or 0) for price in catalogue.search_by_name("price"))


def ticks_during(call) -> int:
    """How often another Python thread got to run while `call()` ran: it
    runs only while the call has released the lock."""
    ticks = 0
    running = True

    def tick():
        nonlocal ticks
        while running:
            ticks += 1
            time.sleep(0)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)  # let the ticker start
        before = ticks
        call()
        return ticks - before
    finally:
        running = False
        ticker.join()


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        paths = write_catalogues(folder, files=16, books=5000)

        start = time.perf_counter()
        one_by_one = [total_price(p) for p in paths]
        sequential = time.perf_counter() - start

        workers = os.cpu_count() or 2
        start = time.perf_counter()
        with ThreadPoolExecutor(max_workers=workers) as pool:
            in_parallel = list(pool.map(total_price, paths))
        threaded = time.perf_counter() - start

        assert in_parallel == one_by_one
        print(f"{len(paths)} files, {sum(in_parallel):.2f} EUR of books in all")
        print(f"one by one {sequential * 1000:.0f} ms, {workers} threads {threaded * 1000:.0f} ms")

        # One large document: the other thread keeps running while it is parsed.
        big = os.path.join(folder, "big.xml")
        with open(big, "w", encoding="utf-8") as out:
            out.write("<all>" + "".join(open(p, encoding="utf-8").read().split("?>", 1)[1] for p in paths) + "</all>")
        ticks = ticks_during(lambda: arbolite.read_file(big, "all"))
        print(f"another thread ran {ticks} times while {os.path.getsize(big) >> 20} MB were parsed")
        assert ticks > 0, "the interpreter lock was held for the whole parse"


if __name__ == "__main__":
    main()
