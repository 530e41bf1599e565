"""Eight threads reading, writing, searching, rendering and converting the same
and different trees at once get exactly the single-threaded results."""

import pickle
import sys
import threading
import time
import xml.etree.ElementTree as ET

import pytest

import arbolite
from arbolite import Node, SearchType

THREADS = 8


def make_document(seed, width=40, depth=4):
    """A deterministic document whose shape, names, attributes and texts vary with `seed`."""

    def element(level, path):
        name = f"e{(seed + level) % 5}"
        attrs = f' id="{path}" k{level % 3}="v&amp;{seed}"'
        if level == depth:
            return f"<{name}{attrs}>leaf {path} &lt;{seed}&gt;</{name}>"
        kids = "".join(element(level + 1, f"{path}.{i}") for i in range(width >> (2 * level) or 1))
        return f"<{name}{attrs}>t{level}{kids}</{name}>"

    return f'<?xml version="1.0"?><root n="{seed}">{element(0, str(seed))}</root>'


DOCUMENTS = [make_document(seed) for seed in range(4)]


def shape(node):
    return (node.name, list(node.attrs.items()), node.text, [shape(c) for c in node.children])


def results(tree, path):
    """Every operation on `tree`, as plain values; `path` is a file this caller alone writes."""
    out = [
        shape(tree),
        repr(tree),
        str(tree),
        getattr(tree, "__to_string")(3),
        arbolite.write_string(tree),
        arbolite.write_string(tree, 2, False),
        [shape(n) for n in tree.search_by_name("e2")],
        [n.attrs["id"] for n in tree.search_by_attr("k1", 3)],
        [n.attrs["id"] for n in tree.search_by_text("t2")],
        [n.attrs["id"] for n in tree.search(SearchType.Attr, "k0")],
        tree.to_dict(),
    ]
    copy = Node.from_dict(out[-1])
    out.append(shape(copy))
    out.append(shape(pickle.loads(pickle.dumps(tree))))
    arbolite.write_file(copy, path, 1)
    out.append(shape(arbolite.read_file(path, "root")))
    return out


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    """The single-threaded results for each document."""
    path = str(tmp_path_factory.mktemp("ref") / "ref.xml")
    return [results(arbolite.read_string(doc, "root"), path) for doc in DOCUMENTS]


def run_threads(worker):
    """Runs worker(index) in THREADS threads started together; re-raises the first failure."""
    errors = []
    barrier = threading.Barrier(THREADS)

    def body(i):
        try:
            barrier.wait()
            worker(i)
        except BaseException as e:  # reported to the main thread below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # switch often so the operations interleave
    try:
        threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]


ITERATIONS = 8


@pytest.mark.parametrize("mode", ["shared tree", "own trees", "mixed documents"])
def test_concurrent_operations_match_single_threaded(expected, tmp_path, mode):
    shared = [arbolite.read_string(doc, "root") for doc in DOCUMENTS]

    def worker(i):
        path = str(tmp_path / f"t{i}.xml")
        for it in range(ITERATIONS):
            k = (i + it) % len(DOCUMENTS) if mode == "mixed documents" else i % len(DOCUMENTS)
            if mode == "shared tree":
                tree = shared[k]
            else:
                tree = arbolite.read_string(DOCUMENTS[k], "root")
            got = results(tree, path)
            assert got == expected[k], (mode, i, it)

    run_threads(worker)


def test_one_tree_written_while_others_read_and_build(expected):
    """Parses and writes of a large document overlap building and searching on other threads."""
    big = "<root>" + "".join(DOCUMENTS[i % 4].split("?>", 1)[1] for i in range(40)) + "</root>"
    big_tree = arbolite.read_string(big, "root")
    want_big = arbolite.write_string(big_tree, 1)
    want_count = len(big_tree.search_by_name("e0"))

    def worker(i):
        for _ in range(3):
            if i % 2:
                tree = arbolite.read_string(big, "root")
                assert arbolite.write_string(tree, 1) == want_big
                assert len(tree.search_by_name("e0")) == want_count
            else:
                chain = Node("leaf", {"i": str(i)}, text="t")
                for _ in range(2000):
                    chain = Node("n", children=[chain])
                assert len(chain.search_by_attr("i")) == 1
                assert Node.from_dict(chain.to_dict()).search_by_text("t")[0].attrs == {"i": str(i)}

    run_threads(worker)


# ------------------------------------------------- the lock, released or held

def counter_rate(call):
    """Iterations per second of a pure-Python counting thread, which needs the
    interpreter lock to count, while call() runs in this thread."""
    stop, started = threading.Event(), threading.Event()
    count = [0]

    def count_up():
        started.set()
        while not stop.is_set():
            count[0] += 1

    thread = threading.Thread(target=count_up)
    thread.start()
    started.wait()
    before, start = count[0], time.perf_counter()
    call()
    elapsed, counted = time.perf_counter() - start, count[0] - before
    stop.set()
    thread.join()
    return counted / elapsed


def test_the_lock_is_released_while_reading_writing_streaming_and_unpickling(tmp_path):
    big = "<root>" + "".join(DOCUMENTS[i % 4].split("?>", 1)[1] for i in range(200)) + "</root>"
    data = big.encode()  # 19 MB
    tree = arbolite.read_string(big, "root")
    blob = pickle.dumps(tree)
    path = tmp_path / "big.xml"
    calls = {
        "read_string": lambda: arbolite.read_string(data, "root"),
        "read_file": lambda: arbolite.write_file(tree, path) or arbolite.read_file(path, "root"),
        "write_string": lambda: arbolite.write_string(tree),
        "iter_string": lambda: sum(1 for _ in arbolite.iter_string(data, "e4")),
        "unpickle": lambda: pickle.loads(blob),
    }
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.005)
    try:
        free = counter_rate(lambda: time.sleep(0.1))
        # The control holds the lock throughout: the measure must tell them apart.
        held = counter_rate(lambda: ET.fromstring(data))
        assert held < 0.1 * free, (held, free)
        rates = {name: counter_rate(call) for name, call in calls.items()}
    finally:
        sys.setswitchinterval(old)
    slow = {name: rate for name, rate in rates.items() if rate < 0.3 * free}
    assert not slow, (slow, free, held)
