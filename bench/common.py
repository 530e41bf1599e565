"""Shared helpers for the benchmarks: the corpus, root tags, fresh inputs,
interleaved timing, the memory probe and the walk over each library's tree."""
import json
import os
import statistics
import subprocess
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


# ---- Fresh inputs -----------------------------------------------------------
# A str caches its UTF-8 form the first time a C extension asks for it, and
# keeps it for life. A reader given the same str twice pays for the encoding
# once; a real caller, who reads text just decoded from a file or a socket,
# pays every time. Every timed call therefore gets a str never encoded before,
# made outside the timing.

def fresh_str(text):
    """An equal str with no cached UTF-8 form (a new object, never handed to C code)."""
    return (text + " ")[:-1]


def fresh_bytes(data):
    """An equal, distinct bytes object; bytes cache nothing, but each call gets
    freshly written memory, like the fresh str."""
    return data[:1] + data[1:]


class FreshText:
    """Makes fresh copies of `text` and checks that each really is fresh: a
    cached UTF-8 form shows in sys.getsizeof."""

    def __init__(self, text):
        self.text = text
        self.size = sys.getsizeof(fresh_str(text))

    def __call__(self):
        s = fresh_str(self.text)
        if sys.getsizeof(s) != self.size:
            raise AssertionError("a fresh str already carries a UTF-8 form")
        return s


# ---- Interleaved timing -----------------------------------------------------

class Case:
    """One library's version of a measure: `call(arg)` is timed; `make_input()`,
    if given, builds arg outside the timing before every call. The result is
    released after the clock stops."""

    def __init__(self, label, call, make_input=None):
        self.label = label
        self.call = call
        self.make_input = make_input

    def sample(self, calls):
        """Mean seconds per call over `calls` calls, counting only the calls."""
        total = 0.0
        for _ in range(calls):
            arg = self.make_input() if self.make_input else None
            t0 = time.perf_counter()
            result = self.call(arg)
            t1 = time.perf_counter()
            del result, arg
            total += t1 - t0
        return total / calls


def interleaved(cases, rounds, min_time=0.1):
    """Seconds per call of each case, one sample per round: {label: [seconds, ...]}.

    Every round samples every case; the order rotates from round to round, so a
    burst of outside load, or a slow drift, falls on all of them alike. A sample
    is as many calls as last about `min_time`.
    """
    calls = {}
    for case in cases:
        case.sample(1)  # warm: imports, first-touch pages, caches
        once = max(case.sample(1), 1e-7)
        calls[case.label] = max(1, int(min_time / once))
    samples = {case.label: [] for case in cases}
    n = len(cases)
    for r in range(rounds):
        for case in cases[r % n:] + cases[:r % n]:
            samples[case.label].append(case.sample(calls[case.label]))
    return samples


def spread(samples):
    """Interquartile range over the median: how much the rounds disagreed."""
    if len(samples) < 4:
        return (max(samples) - min(samples)) / statistics.median(samples)
    q = statistics.quantiles(samples, n=4)
    return (q[2] - q[0]) / statistics.median(samples)


# ---- Walks ------------------------------------------------------------------
# The same shape for every library: an explicit stack, and at each element
# its name, every attribute pair, its text and its children. Each returns the
# number of nodes visited.

def walk_arbolite(root):
    stack = [root]
    n = 0
    while stack:
        e = stack.pop()
        n += 1
        e.name
        for _k, _v in e.attrs.items():
            pass
        e.text
        stack.extend(e.children)
    return n


def walk_etree(root):
    """ElementTree and lxml alike (lxml also visits comments and processing
    instructions, which its parser keeps and the others drop)."""
    stack = [root]
    n = 0
    while stack:
        e = stack.pop()
        n += 1
        e.tag
        for _k, _v in e.attrib.items():
            pass
        e.text
        stack.extend(e)
    return n


def most_common_name(root):
    """The most frequent element name in an arbolite tree (ties: first seen)."""
    import collections
    counts = collections.Counter()
    stack = [root]
    while stack:
        n = stack.pop()
        counts[n.name] += 1
        stack.extend(n.children)
    return counts.most_common(1)[0][0]


def clark_name(lxml_root, written):
    """The {uri}local form ElementTree and lxml give the elements written as `written`."""
    prefix, _, local = written.rpartition(":")
    import lxml.etree as LET
    for e in lxml_root.iter(LET.Element):
        q = LET.QName(e)
        if q.localname == local and (e.prefix or "") == prefix:
            return e.tag
    return written


# ---- Memory -----------------------------------------------------------------

MEMORY_PROBE = r"""
import ctypes, gc, json, sys
_libc = ctypes.CDLL("libc.so.6")
PAGE = __import__("os").sysconf("SC_PAGE_SIZE")

def rss():
    gc.collect()
    _libc.malloc_trim(0)  # free pages the allocator keeps are not held by the tree
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

lib, path, tag = sys.argv[1:4]
with open(path, "rb") as f:
    data = f.read()
if lib == "arbolite":
    import arbolite
    arbolite.read_string("<a><b x='1'>t</b></a>", "a")
    text = data.decode("utf-8")  # held, never encoded: it carries no UTF-8 form
    def load():
        # A fresh copy: its UTF-8 form, made by the reader, dies with it here.
        return arbolite.read_string((text + " ")[:-1], tag)
elif lib == "lxml":
    import lxml.etree as E
    E.fromstring(b"<a><b x='1'>t</b></a>")
    load = lambda: E.fromstring(data)
else:
    import xml.etree.ElementTree as E
    E.fromstring(b"<a><b x='1'>t</b></a>")
    load = lambda: E.fromstring(data)
before = rss()
tree = load()
after = rss()
print(json.dumps({"held": after - before, "before": before}))
"""


def memory_held(lib, path, tag, python=sys.executable):
    """Bytes of resident memory a tree read from `path` holds, measured in a
    fresh interpreter; None if the child failed (its stderr is returned)."""
    out = subprocess.run([python, "-c", MEMORY_PROBE, lib, path, tag], capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1:] or ["failed"]
    return json.loads(out.stdout)["held"], None


def count_elements(data):
    """Elements of a document (no comments or processing instructions)."""
    return sum(1 for _ in ET.fromstring(data).iter())


def well_formed(data):
    """None if lxml reads the bytes, else its message."""
    import lxml.etree as LET
    try:
        LET.fromstring(data)
    except LET.XMLSyntaxError as e:
        return str(e)
    return None


def from_root_element(text):
    """The document from its root element on: the declaration, comments and
    doctype before it are dropped so that copies can be nested."""
    i = 0
    while True:
        while text[i].isspace():
            i += 1
        if text.startswith("<?", i):
            i = text.index("?>", i) + 2
        elif text.startswith("<!--", i):
            i = text.index("-->", i) + 3
        elif text.startswith("<!", i):
            if "[" in text[i:text.index(">", i)]:
                raise ValueError("a doctype with an internal subset")
            i = text.index(">", i) + 1
        else:
            return text[i:]


# ---- Caches -----------------------------------------------------------------

def last_level_cache_bytes(default=32 << 20):
    """The size of the processor's largest cache (cpu0's view), or `default`."""
    best = 0
    base = "/sys/devices/system/cpu/cpu0/cache"
    try:
        for index in os.listdir(base):
            try:
                with open(os.path.join(base, index, "size")) as f:
                    text = f.read().strip()
            except OSError:
                continue
            scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
            best = max(best, int(text.rstrip("KMG")) * scale)
    except OSError:
        pass
    return best or default


class Evict:
    """Called before a timed call: writes one byte per 64-byte line of a
    buffer twice the size of the last-level cache, so that the call finds
    none of the tree in any cache."""

    def __init__(self):
        self.buf = bytearray(2 * last_level_cache_bytes())
        lines = len(self.buf[::64])
        self.fills = [bytes([1]) * lines, bytes([2]) * lines]
        self.turn = 0

    def __call__(self):
        self.buf[::64] = self.fills[self.turn]
        self.turn ^= 1


# ---- Path queries -----------------------------------------------------------

def findall_paths(tree, lxml_root):
    """(arbolite path, ElementTree path) pairs of the same query on a tree,
    from its own commonest names: every element of the commonest name, the
    commonest child of the root (a plain name, ElementTree's fast case),
    the commonest parent/child pair, that child's commonest attribute key
    alone and with its commonest value, its first of each parent, and the
    parents of the pair's children. Names written for ElementTree in its
    {uri}local form; keys with a prefix are left out."""
    import collections
    names, pairs, keys, values = (collections.Counter() for _ in range(4))
    stack = [tree]
    while stack:
        n = stack.pop()
        names[n.name] += 1
        for k, v in n.attrs.items():
            if ":" not in k and k != "xmlns" and "'" not in v:
                keys[n.name, k] += 1
                values[n.name, k, v] += 1
        kids = n.children
        for c in kids:
            pairs[n.name, c.name] += 1
        stack.extend(kids)
    root_children = collections.Counter(c.name for c in tree.children)
    et = lambda name: clark_name(lxml_root, name)  # noqa: E731
    out = []
    common_name = names.most_common(1)[0][0]
    out.append((f".//{common_name}", f".//{et(common_name)}"))
    child = root_children.most_common(1)[0][0]
    out.append((child, et(child)))
    (parent, child), _ = pairs.most_common(1)[0]
    out.append((f".//{parent}/{child}", f".//{et(parent)}/{et(child)}"))
    attributed = [(n, k) for (n, k), _ in keys.most_common()]
    if attributed:
        n, k = attributed[0]
        out.append((f".//{n}[@{k}]", f".//{et(n)}[@{k}]"))
        v = max(((val, c) for (nn, kk, val), c in values.items() if (nn, kk) == (n, k)), key=lambda x: x[1])[0]
        out.append((f".//{n}[@{k}='{v}']", f".//{et(n)}[@{k}='{v}']"))
    out.append((f".//{parent}/{child}[1]", f".//{et(parent)}/{et(child)}[1]"))
    out.append((f".//{child}/..", f".//{et(child)}/.."))
    return out
