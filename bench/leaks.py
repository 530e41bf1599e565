"""Leaks: every public operation, its success path and its error paths, called
many times after a warm-up; resident memory before and after.

    python bench/leaks.py

Cheap operations on small inputs run 100,000 times; the same operations on a
corpus document (marked "corpus") run fewer times, as listed. Before each
reading the cycle collector runs and the C allocator returns its free pages
(malloc_trim), so what remains is memory still in use. A leak of one small
object per call shows as several MB over 100,000 calls; the "blocks" column
is the change in live Python allocator blocks, which a leaked Python object
moves by at least one per call.
"""
import sys

if sys.version_info < (3, 12):
    sys.exit(f"bench/leaks.py needs CPython 3.12 or later; this is {sys.version.split()[0]} ({sys.executable})")

import ctypes  # noqa: E402
import gc  # noqa: E402
import io  # noqa: E402
import os  # noqa: E402
import tempfile  # noqa: E402

import arbolite  # noqa: E402
from arbolite import Node, SearchType  # noqa: E402
from common import CORPUS, root_tag, table  # noqa: E402

CHEAP = 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")
_libc = ctypes.CDLL("libc.so.6")


def rss_kib():
    gc.collect()
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


def raising(exc_type, fn, *args, **kwargs):
    """A call that must raise exc_type: the error path, checked on every call."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")
    return call


class RaisingIter:
    """Children whose iteration fails, with a cause attached."""
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise ValueError("outer") from KeyError("inner")


class RaisingIndex:
    def __index__(self):
        raise LookupError("no index")


def small_tree():
    c = Node("c", {"id": "c1", "lang": "en"}, text="deep")
    b1 = Node("b", {"id": ""}, [c], "x")
    a1 = Node("a", {"class": "id"}, [b1], "")
    b2 = Node("b", text="X")
    return Node("root", {"id": "r"}, [a1, b2])


def first_then_close(stream):
    first = next(stream)
    stream.close()
    return first


def operations(tmp):
    tree = small_tree()
    small = arbolite.write_string(tree)
    small_path = os.path.join(tmp, "small.xml")
    with open(small_path, "w", encoding="utf-8") as f:
        f.write(small)
    small_bytes = small.encode()
    bad = "<root><a id='1'><b></a></root>"
    bad_path = os.path.join(tmp, "bad.xml")
    with open(bad_path, "w", encoding="utf-8") as f:
        f.write(bad)
    out_path = os.path.join(tmp, "out.xml")
    missing = os.path.join(tmp, "missing", "x.xml")
    tree_dict = tree.to_dict()
    kids = list(tree.children)
    attrs = {"id": "1", "lang": "en"}
    # A dict that fits none of the value shapes: the composite TypeError.
    composite = {"name": "a", "attrs": {"k": 1}, "children": [], "text": None}
    nested_composite = {"name": "a", "attrs": {}, "children": [tree_dict, {"name": "b", "text": 5}], "text": None}
    no_name = {"attrs": {}, "children": [], "text": None}

    corpus_name = "serviceproviders.xml"
    corpus_path = os.path.join(CORPUS, corpus_name)
    with open(corpus_path, encoding="utf-8") as f:
        doc = f.read()
    tag = root_tag(doc)
    big = arbolite.read_string(doc, tag)
    big_dict = big.to_dict()
    # Not well-formed two thirds in (a bare '&'): the failure drops a large partial tree.
    broken_name = "iso_3166-2.xml"
    with open(os.path.join(CORPUS, broken_name), encoding="utf-8") as f:
        broken = f.read()
    C = f"corpus {corpus_name}"

    yield "Node(name, attrs, children, text)", CHEAP, lambda: Node("item", attrs, kids, "text")
    yield "Node(name)", CHEAP, lambda: Node("item")
    yield "node.name", CHEAP, lambda: tree.name
    yield "node.attrs", CHEAP, lambda: tree.attrs
    yield "node.children", CHEAP, lambda: tree.children
    yield "node.text", CHEAP, lambda: tree.children[0].text
    yield "str(node)", CHEAP, lambda: str(tree)
    yield "repr(node)", CHEAP, lambda: repr(tree)
    yield "search_by_name", CHEAP, lambda: tree.search_by_name("b")
    yield "search_by_attr", CHEAP, lambda: tree.search_by_attr("id", 2)
    yield "search_by_text", CHEAP, lambda: tree.search_by_text("deep")
    yield "search(SearchType.Tag)", CHEAP, lambda: tree.search(SearchType.Tag, "c", None)
    yield "to_dict", CHEAP, tree.to_dict
    yield "from_dict", CHEAP, lambda: Node.from_dict(tree_dict)
    yield "read_string", CHEAP, lambda: arbolite.read_string(small, "root")
    yield "read_file", CHEAP, lambda: arbolite.read_file(small_path, "root")
    yield "write_string", CHEAP, lambda: arbolite.write_string(tree, 2)
    yield "write_file", CHEAP, lambda: arbolite.write_file(tree, out_path, 2, False)

    yield "iter_string", CHEAP, lambda: list(arbolite.iter_string(small, "b"))
    yield "iter_file", CHEAP, lambda: list(arbolite.iter_file(small_path, "b"))
    yield "iter_file(file object)", CHEAP, lambda: list(arbolite.iter_file(io.BytesIO(small_bytes), "b"))
    yield "iter_string closed early", CHEAP, lambda: first_then_close(arbolite.iter_string(small, "b"))
    yield "iter_file dropped early", CHEAP, lambda: next(arbolite.iter_file(small_path, "b"))

    yield "read_string malformed", CHEAP, raising(ValueError, arbolite.read_string, bad, "root")
    yield "read_string root not found", CHEAP, raising(ValueError, arbolite.read_string, small, "nothere")
    yield "read_file malformed", CHEAP, raising(ValueError, arbolite.read_file, bad_path, "root")
    yield "iter_string malformed", CHEAP, raising(ValueError, lambda: list(arbolite.iter_string(bad, "b")))
    yield "iter_file malformed", CHEAP, raising(ValueError, lambda: list(arbolite.iter_file(bad_path, "b")))
    yield "iter_file missing file", CHEAP, raising(FileNotFoundError, lambda: list(arbolite.iter_file(missing, "b")))
    yield "read_file missing file", CHEAP, raising(FileNotFoundError, arbolite.read_file, missing, "root")
    yield "read_string(int) type", CHEAP, raising(TypeError, arbolite.read_string, 12345, "root")
    yield "read_string surrogate tag", CHEAP, raising(UnicodeEncodeError, arbolite.read_string, small, "\udc80")
    yield "write_string(dict) type", CHEAP, raising(TypeError, arbolite.write_string, tree_dict)
    yield "write_string raising __index__", CHEAP, raising(LookupError, arbolite.write_string, tree, RaisingIndex())
    yield "write_file missing dir", CHEAP, raising(FileNotFoundError, arbolite.write_file, tree, missing)
    yield "Node(1) type", CHEAP, raising(TypeError, Node, 1)
    yield "Node bad child", CHEAP, raising(TypeError, Node, "p", None, [kids[0], kids[1], 1])
    yield "Node raising __iter__", CHEAP, raising(ValueError, Node, "p", None, RaisingIter())
    yield "search depth overflow", CHEAP, raising(OverflowError, tree.search_by_name, "b", 2**40)
    yield "search(by='Tag') type", CHEAP, raising(TypeError, tree.search, "Tag", "b")
    yield "from_dict composite TypeError", CHEAP, raising(TypeError, Node.from_dict, composite)
    yield "from_dict nested TypeError", CHEAP, raising(TypeError, Node.from_dict, nested_composite)
    yield "from_dict missing name", CHEAP, raising(ValueError, Node.from_dict, no_name)

    yield f"read_string ({C})", 1_000, lambda: arbolite.read_string(doc, tag)
    yield f"read_file ({C})", 1_000, lambda: arbolite.read_file(corpus_path, tag)
    yield f"write_string ({C})", 1_000, lambda: arbolite.write_string(big)
    yield f"write_file ({C})", 1_000, lambda: arbolite.write_file(big, out_path)
    yield f"str(node) ({C})", 1_000, lambda: str(big)
    yield f"search_by_name ({C})", 10_000, lambda: big.search_by_name("apn")
    yield f"read_string malformed (corpus {broken_name})", 1_000, raising(
        ValueError, arbolite.read_string, broken, root_tag(broken))
    yield f"iter_string ({C})", 1_000, lambda: sum(1 for _ in arbolite.iter_string(doc, "apn"))
    yield f"iter_file ({C})", 1_000, lambda: sum(1 for _ in arbolite.iter_file(corpus_path, "apn"))
    yield f"to_dict ({C})", 300, big.to_dict
    yield f"from_dict ({C})", 300, lambda: Node.from_dict(big_dict)


def main():
    print(f"Python {sys.version.split()[0]}, arbolite from {arbolite.__file__}")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, calls, fn in operations(tmp):
            for _ in range(max(calls // 10, 10)):  # warm: caches, free lists and allocator pools fill first
                fn()
            before = rss_kib()
            blocks = sys.getallocatedblocks()
            for _ in range(calls):
                fn()
            after = rss_kib()
            blocks = sys.getallocatedblocks() - blocks
            delta = after - before
            rows.append([label, f"{calls:,}", f"{before:,}", f"{after:,}", f"{delta:+,}",
                         f"{delta * 1024 / calls:+.2f}", f"{blocks:+,}"])
            print(f"  {label}: {delta:+,} KiB", file=sys.stderr, flush=True)
    table(["operation", "calls", "RSS before KiB", "RSS after KiB", "delta KiB", "delta B/call", "blocks"], rows)


if __name__ == "__main__":
    main()
