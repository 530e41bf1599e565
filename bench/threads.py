"""Is the interpreter lock really released? read_string and write_string on a
large document, all calls on one thread against the same calls split over two
threads; and how far a pure-Python thread gets while one large call runs.

    python bench/threads.py                  # about a minute
    python bench/threads.py --copies 10 --calls 8 --rounds 5

The document is the largest corpus file, its root element repeated --copies
times under one <corpus> element. Each configuration runs --rounds times; the
table gives the best and the median wall time, the speed-up of the best times,
and the process CPU time over wall time (about 2.0 when both cores work). The
ElementTree rows are the control: its parser keeps the lock, so splitting its
work over two threads should gain nothing. The machine may be shared: the load
average is printed before and after.
"""
import sys

if sys.version_info < (3, 12):
    sys.exit(f"bench/threads.py needs CPython 3.12 or later; this is {sys.version.split()[0]} ({sys.executable})")

import argparse  # noqa: E402
import os  # noqa: E402
import statistics  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import xml.etree.ElementTree as ET  # noqa: E402

import arbolite  # noqa: E402
from common import corpus_files, from_root_element, root_tag, table  # noqa: E402


def large_document(copies):
    name, text = corpus_files()[-1]
    tag = root_tag(text)
    body = from_root_element(text)
    doc = "<corpus>\n" + "\n".join([body] * copies) + "\n</corpus>\n"
    tree = arbolite.read_string(doc, "corpus")
    # The copies are what was read, not a prefix of them.
    assert len(tree.children) == copies and all(c.name == tag for c in tree.children), name
    return name, doc, tree


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def run_split(fn, calls, threads):
    """Wall and CPU seconds for `calls` calls of fn spread evenly over `threads` threads."""
    assert calls % threads == 0
    share = calls // threads
    start = threading.Barrier(threads + 1)
    errors = []

    def worker():
        try:
            start.wait()
            for _ in range(share):
                fn()  # the result is dropped at once: its release is counted in the work
        except BaseException as e:  # re-raised in the main thread
            errors.append(e)

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0, c0 = time.perf_counter(), cpu_seconds()
    for t in pool:
        t.join()
    wall, cpu = time.perf_counter() - t0, cpu_seconds() - c0
    if errors:
        raise errors[0]
    return wall, cpu


def compare(label, fn, calls, rounds):
    """Table rows for one and two threads doing the same `calls` calls."""
    fn()  # warm: first-touch page faults are not the lock's doing
    results = {1: [], 2: []}
    for _ in range(rounds):
        for threads in (1, 2):  # interleaved, so a burst of outside load hits both
            results[threads].append(run_split(fn, calls, threads))
    best = {n: min(w for w, _ in r) for n, r in results.items()}
    rows = []
    for n, r in results.items():
        walls = [w for w, _ in r]
        ratio = statistics.median(c / w for w, c in r)
        speedup = f"{best[1] / best[n]:.2f}"
        rows.append([label, str(n), str(calls), f"{min(walls):.3f}", f"{statistics.median(walls):.3f}", speedup,
                     f"{ratio:.2f}"])
    return rows


def spin_during(fn):
    """(iterations a pure-Python thread made while fn() ran, fn's wall seconds)."""
    count = [0]
    stop = [False]
    running = threading.Event()

    def spin():
        running.set()
        n = count
        while not stop[0]:
            n[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    running.wait()
    time.sleep(0.02)  # the spinner is in its loop, not starting up
    c0, t0 = count[0], time.perf_counter()
    fn()
    t1, c1 = time.perf_counter(), count[0]
    stop[0] = True
    t.join()
    return c1 - c0, t1 - t0


def loadavg():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=6, help="copies of the largest corpus file in the document")
    parser.add_argument("--calls", type=int, default=8, help="calls per configuration (even)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per configuration")
    args = parser.parse_args()
    if args.calls % 2:
        parser.error("--calls must be even")

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average {loadavg()}")
    name, doc, tree = large_document(args.copies)
    out = arbolite.write_string(tree)
    print(f"document: {args.copies} x {name}, {len(doc.encode()) / 1e6:.1f} MB, "
          f"{len(tree.children)} copies of <{tree.children[0].name}>; write_string output {len(out) / 1e6:.1f} MB\n")
    del out

    rows = []
    rows += compare("read_string", lambda: arbolite.read_string(doc, "corpus"), args.calls, args.rounds)
    rows += compare("write_string", lambda: arbolite.write_string(tree), args.calls, args.rounds)
    # The control costs several times more per call; two calls are enough to see it.
    rows += compare("ElementTree.fromstring (control)", lambda: ET.fromstring(doc), 2, min(args.rounds, 2))
    table(["operation", "threads", "calls", "best s", "median s", "speed-up (best)", "CPU s / wall s"], rows)

    print("\nA pure-Python thread counting while the main thread makes one call:")
    spin_during(lambda: arbolite.read_string(doc, "corpus"))  # warm
    rows = []
    measured = [
        ("read_string", lambda: arbolite.read_string(doc, "corpus")),
        ("write_string", lambda: arbolite.write_string(tree)),
        ("ElementTree.fromstring (control)", lambda: ET.fromstring(doc)),
    ]
    for label, fn in measured:
        free_count, free_wall = spin_during(lambda: time.sleep(0.5))  # the free rate, just before
        free_rate = free_count / free_wall
        count, wall = spin_during(fn)
        rows.append([label, f"{wall:.3f}", f"{count:,}", f"{count / wall / 1e6:.1f}", f"{free_rate / 1e6:.1f}",
                     f"{100 * count / (free_rate * wall):.0f}%"])
    table(["call on main thread", "call s", "counter iterations", "Mit/s during call", "Mit/s free",
           "share of free rate"], rows)
    print(f"\nload average after: {loadavg()}")


if __name__ == "__main__":
    main()
