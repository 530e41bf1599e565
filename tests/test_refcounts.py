"""Reference counts: calling an operation many times, on its success path or on
an error path, leaves the reference count of every object it was given, of
every node of the tree it worked on (which searches and `children` hand back)
and of the Node class (one reference per live node) where it was. Nor does it
keep what it made: the str, list, dict and Node results (and the exceptions)
of calls that were dropped are freed, which the reference counts of the
inputs cannot show, and which the leak sanitizer's suppression of string
allocations hides (see scripts/lsan.supp)."""

import collections
import ctypes
import gc
import io
import pathlib
import sys
import tracemalloc
from types import SimpleNamespace

import pytest

import arbolite
from arbolite import Node, SearchType

CALLS = 1000


def fresh(text):
    """A new str equal to `text`: a literal may be immortal, and an immortal
    object's count does not move when a reference leaks."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


class S(str):
    pass


class D(dict):
    pass


class L(list):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise LookupError("no index")


class RaisingLen:
    """A sequence whose length fails: only a size hint, so the call succeeds."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


class RaisingIter:
    """A sequence whose iteration fails, with a cause attached."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        raise ValueError("no iteration") from KeyError("cause")


class RaisingItem:
    """A sequence that hands out its first item, then fails."""

    def __init__(self, first):
        self.first = first

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return self.first
        raise LookupError("second item")


class RaisingSource:
    """A binary file object whose second read fails, mid-document."""

    def __init__(self, data):
        self.data = data
        self.reads = 0

    def read(self, size=-1):
        self.reads += 1
        if self.reads % 2 == 0:
            raise LookupError("read failed")
        return self.data[: len(self.data) // 2]


def close_after_one(stream):
    first = next(stream)
    stream.close()
    return first


@pytest.fixture
def ns(tmp_path):
    """Every object the calls below use, each one new and mortal."""
    o = SimpleNamespace()
    o.c = Node(fresh("cc"), {fresh("id"): fresh("c1"), fresh("lang"): fresh("en")}, text=fresh("deep"))
    o.b1 = Node(fresh("bb"), {fresh("id"): fresh("vv")}, [o.c], fresh("xx"))
    o.a1 = Node(fresh("aa"), {fresh("class"): fresh("id")}, [o.b1], fresh("tt"))
    o.b2 = Node(fresh("bb"), text=fresh("XX"))
    o.root = Node(fresh("root"), {fresh("id"): fresh("rr")}, [o.a1, o.b2])
    o.name, o.key, o.value, o.text = fresh("item"), fresh("id"), fresh("v1"), fresh("deep")
    o.tag, o.other_tag = fresh("root"), fresh("absent")
    o.surrogate = fresh("x\udc80y")
    o.attrs = {o.key: o.value}
    o.kids = [o.a1, o.b2]
    o.kids_tuple = (o.a1, o.b2)
    o.xml = arbolite.write_string(o.root)
    o.bad_xml = fresh("<root><aa id='1'><bb></aa></root>")
    o.xml_bytes = o.xml.encode()
    o.xml_bytearray = bytearray(o.xml_bytes)
    o.xml_view = memoryview(o.xml_bytes)
    o.xml_strided = memoryview(o.xml_bytes)[::2]
    o.xml_latin1 = ("<?xml version='1.0' encoding='latin-1'?>" + o.xml).encode("latin-1")
    o.xml_utf16 = o.xml.encode("utf-16")
    o.bad_utf8 = o.xml_bytes + b"\xff"
    o.unknown_encoding = b"<?xml version='1.0' encoding='no-such-codec'?>" + o.xml_bytes
    o.bad_bytes = o.bad_xml.encode()
    o.float_obj = float(fresh("2.5"))
    o.list_obj = [o.float_obj]
    o.depth = Index(2)
    o.big_depth = int("1000000")  # beyond the cached small ints
    o.huge = Index(2**40)
    o.bad_index = RaisingIndex()
    o.raising_len = RaisingLen([o.a1, o.b2])
    o.raising_iter = RaisingIter([o.a1])
    o.raising_item = RaisingItem(o.a1)
    o.path = str(tmp_path / "doc.xml")
    o.bad_path = str(tmp_path / "bad.xml")
    o.out_path = str(tmp_path / "out.xml")
    o.dir_path = str(tmp_path)
    o.missing_path = str(tmp_path / "missing" / "doc.xml")
    o.path_obj = pathlib.Path(o.path)
    o.path_bytes = o.path.encode()
    o.path_bytearray = bytearray(o.path_bytes)
    o.out_path_obj = pathlib.Path(o.out_path)
    o.latin1_path = str(tmp_path / "latin1.xml")
    pathlib.Path(o.latin1_path).write_bytes(o.xml_latin1)
    pathlib.Path(o.path).write_text(o.xml, encoding="utf-8")
    pathlib.Path(o.bad_path).write_text(o.bad_xml, encoding="utf-8")
    o.good_dict = o.root.to_dict()
    o.child_dict = o.good_dict["children"][0]
    o.no_name = {fresh("attrs"): {}, fresh("children"): [], fresh("text"): None}
    o.empty_list = []
    o.bad_attrs = {"name": o.name, "attrs": o.empty_list, "children": [], "text": None}
    # Fits none of the value shapes: the composite TypeError, one level down and two.
    o.composite = {"name": o.name, "attrs": {o.key: o.float_obj}, "children": [], "text": None}
    o.nested_composite = {"name": o.name, "attrs": {}, "children": [o.child_dict, o.composite], "text": None}
    o.failing_children = {"name": o.name, "attrs": {}, "children": o.raising_iter, "text": None}
    o.raising_len_dicts = RaisingLen([o.child_dict])
    o.len_children = {"name": o.name, "attrs": {}, "children": o.raising_len_dicts, "text": None}
    o.int_key = {int(fresh("1000")): o.name}
    # Subclasses of the builtins go through other conversion paths.
    o.s_name, o.s_key, o.s_tag, o.s_xml = S("item"), S("id"), S("root"), S(o.xml)
    o.d_attrs = D({S("kk"): S("vv")})
    o.l_kids = L([o.a1, o.b2])
    o.sub_dict = D(name=S("item"), attrs=D({S("kk"): S("vv")}), children=(o.child_dict,), text=S("tt"))
    # Pickled forms: a shared child, a tree large enough to be restored
    # without the lock, and the two cut short (refused after building part).
    o.shared = Node(fresh("sh"), children=[o.c, o.c, o.b1])
    o.blob = o.shared.__reduce__()[1][0]
    o.big_blob = Node(fresh("big"), children=[Node(fresh("x" * 20)) for _ in range(4000)]).__reduce__()[1][0]
    o.cut_blob = o.blob[:-3]
    o.cut_big_blob = o.big_blob[:-3]
    o.memo = {}
    o.bad_after = fresh("<root><bb id='1'/><bb></root>")
    o.raising_source = RaisingSource(o.xml_bytes)
    o.close_after_one = close_after_one
    o.bytes_source = lambda: io.BytesIO(o.xml_bytes)
    return o


# (id, exception the call must raise or None, the call as an expression over
# the objects of `ns`, with arbolite, Node and SearchType in scope)
SUCCESS = [
    ("read_string", None, "arbolite.read_string(xml, tag)"),
    ("read_string-keywords", None, "arbolite.read_string(root_tag=tag, xml_string=xml)"),
    ("read_string-str-subclasses", None, "arbolite.read_string(s_xml, s_tag)"),
    ("read_string-bytes", None, "arbolite.read_string(xml_bytes, tag)"),
    ("read_string-bytearray", None, "arbolite.read_string(xml_bytearray, tag)"),
    ("read_string-memoryview", None, "arbolite.read_string(xml_view, tag)"),
    ("read_string-declared-latin-1", None, "arbolite.read_string(xml_latin1, tag)"),
    ("read_string-utf-16", None, "arbolite.read_string(xml_utf16, tag)"),
    ("read_file", None, "arbolite.read_file(path, tag)"),
    ("read_file-path-object", None, "arbolite.read_file(path_obj, tag)"),
    ("read_file-bytes-path", None, "arbolite.read_file(path_bytes, tag)"),
    ("read_file-declared-latin-1", None, "arbolite.read_file(latin1_path, tag)"),
    ("write_string", None, "arbolite.write_string(root)"),
    ("write_string-index-indent", None, "arbolite.write_string(root, depth, False)"),
    ("write_file", None, "arbolite.write_file(root, out_path, indent=depth, default_xml_def=True)"),
    ("write_file-path-object", None, "arbolite.write_file(root, out_path_obj)"),
    ("Node-full", None, "Node(name, attrs, kids, text)"),
    ("Node-tuple-children", None, "Node(name, None, kids_tuple)"),
    ("Node-keywords", None, "Node(text=text, name=name, children=kids)"),
    ("Node-children-len-raises", None, "Node(name, children=raising_len)"),
    ("Node-subclasses", None, "Node(s_name, d_attrs, l_kids, s_name)"),
    ("name", None, "root.name"),
    ("attrs", None, "root.attrs"),
    ("children", None, "root.children"),
    ("text", None, "a1.text"),
    ("str", None, "str(root)"),
    ("repr", None, "repr(root)"),
    ("outline-width", None, "getattr(root, '__to_string')(depth)"),
    ("search-Tag", None, "root.search(SearchType.Tag, b1.name, depth)"),
    ("search-Attr", None, "root.search(SearchType.Attr, key)"),
    ("search-Text-keywords", None, "root.search(by=SearchType.Text, value=text, depth=big_depth)"),
    ("search_by_name", None, "root.search_by_name(b1.name, big_depth)"),
    ("search_by_attr", None, "root.search_by_attr(key, depth)"),
    ("search_by_text", None, "root.search_by_text(text)"),
    ("search-no-match", None, "root.search_by_name(other_tag)"),
    ("search-str-subclass", None, "root.search(SearchType.Attr, s_key)"),
    ("to_dict", None, "root.to_dict()"),
    ("from_dict", None, "Node.from_dict(good_dict)"),
    ("from_dict-keyword", None, "Node.from_dict(dict_=child_dict)"),
    ("from_dict-subclasses", None, "Node.from_dict(sub_dict)"),
    ("from_dict-children-len-raises", None, "Node.from_dict(len_children)"),
    ("__reduce__", None, "shared.__reduce__()"),
    ("_restore_node", None, "arbolite._restore_node(blob)"),
    ("_restore_node-without-lock", None, "arbolite._restore_node(big_blob)"),
    ("__copy__", None, "root.__copy__()"),
    ("__deepcopy__", None, "root.__deepcopy__(memo)"),
    ("SearchType-__reduce__", None, "SearchType.Attr.__reduce__()"),
    ("iter_string", None, "list(arbolite.iter_string(xml, b1.name))"),
    ("iter_string-bytes", None, "list(arbolite.iter_string(xml_bytes, b1.name))"),
    ("iter_file-path", None, "list(arbolite.iter_file(path, b1.name))"),
    ("iter_file-file-object", None, "list(arbolite.iter_file(bytes_source(), b1.name))"),
    ("iter_string-closed-early", None, "close_after_one(arbolite.iter_string(xml, b1.name))"),
    ("iter_file-closed-early", None, "close_after_one(arbolite.iter_file(path, b1.name))"),
    ("iter_file-dropped-early", None, "next(arbolite.iter_file(path_obj, b1.name))"),
    ("parse_dict", None, "arbolite.parse_dict(xml)"),
    ("parse_dict-options", None,
     "arbolite.parse_dict(xml_bytes, attr_prefix=name, cdata_key=key, force_list=(name,), strip_whitespace=False,"
     " force_cdata=True, dict_constructor=OrderedDict)"),
    ("parse_dict-file-object", None, "arbolite.parse_dict(bytes_source())"),
    ("unparse_dict", None, "arbolite.unparse_dict(arbolite.parse_dict(xml), pretty=True, indent=name)"),
    ("unparse_dict-values", None, "arbolite.unparse_dict({name: {key: [float_obj, None, text], '@' + key: list_obj}})"),
    ("read_dict", None, "arbolite.read_dict(xml, tag)"),
    ("read_dict-bytes", None, "arbolite.read_dict(xml_bytes, tag)"),
]

ERRORS = [
    ("read_string-malformed", arbolite.ParseError, "arbolite.read_string(bad_xml, tag)"),
    ("read_dict-malformed", arbolite.ParseError, "arbolite.read_dict(bad_bytes, tag)"),
    ("read_string-root-not-found", arbolite.ParseError, "arbolite.read_string(xml, other_tag)"),
    ("read_string-malformed-bytes", arbolite.ParseError, "arbolite.read_string(bad_bytes, tag)"),
    ("read_string-invalid-utf-8", UnicodeDecodeError, "arbolite.read_string(bad_utf8, tag)"),
    ("read_string-unknown-encoding", LookupError, "arbolite.read_string(unknown_encoding, tag)"),
    ("read_string-strided-memoryview", BufferError, "arbolite.read_string(xml_strided, tag)"),
    ("read_string-bytes-tag-list", TypeError, "arbolite.read_string(xml_bytes, list_obj)"),
    ("read_string-tag-list", TypeError, "arbolite.read_string(xml, list_obj)"),
    ("read_string-surrogate", UnicodeEncodeError, "arbolite.read_string(xml, surrogate)"),
    ("read_string-missing-argument", TypeError, "arbolite.read_string(xml)"),
    ("read_string-unknown-keyword", TypeError, "arbolite.read_string(xml, tag, extra=name)"),
    ("read_file-malformed", arbolite.ParseError, "arbolite.read_file(bad_path, tag)"),
    ("read_file-missing", FileNotFoundError, "arbolite.read_file(missing_path, tag)"),
    ("read_file-directory", IsADirectoryError, "arbolite.read_file(dir_path, tag)"),
    ("read_file-bytearray-path", TypeError, "arbolite.read_file(path_bytearray, tag)"),
    ("write_string-dict", TypeError, "arbolite.write_string(good_dict)"),
    ("write_string-index-raises", LookupError, "arbolite.write_string(root, bad_index)"),
    ("write_string-float-indent", TypeError, "arbolite.write_string(root, float_obj)"),
    ("write_string-huge-indent", MemoryError, "arbolite.write_string(root, huge)"),
    ("write_string-str-declaration", TypeError, "arbolite.write_string(root, None, name)"),
    ("write_file-missing-directory", FileNotFoundError, "arbolite.write_file(root, missing_path)"),
    ("write_file-directory", IsADirectoryError, "arbolite.write_file(root, dir_path)"),
    ("write_file-bytearray-path", TypeError, "arbolite.write_file(root, path_bytearray)"),
    ("write_file-index-raises", LookupError, "arbolite.write_file(root, out_path, bad_index)"),
    ("Node-float-name", TypeError, "Node(float_obj)"),
    ("Node-list-attrs", TypeError, "Node(name, list_obj)"),
    ("Node-float-attr-value", TypeError, "Node(name, {key: float_obj})"),
    ("Node-bad-child-after-good", TypeError, "Node(name, None, [a1, b2, float_obj])"),
    ("Node-children-iter-raises", ValueError, "Node(name, None, raising_iter)"),
    ("Node-children-item-raises", LookupError, "Node(name, None, raising_item)"),
    ("Node-surrogate-text", UnicodeEncodeError, "Node(name, attrs, kids, surrogate)"),
    ("Node-unknown-keyword", TypeError, "Node(name, children=kids, nope=text)"),
    ("outline-width-raises", LookupError, "getattr(root, '__to_string')(bad_index)"),
    ("outline-width-overflow", OverflowError, "getattr(root, '__to_string')(huge)"),
    ("search-by-str", TypeError, "root.search(name, key)"),
    ("search-value-float", TypeError, "root.search(SearchType.Tag, float_obj, depth)"),
    ("search_by_name-index-raises", LookupError, "root.search_by_name(name, bad_index)"),
    ("search_by_attr-overflow", OverflowError, "root.search_by_attr(key, huge)"),
    ("search_by_text-surrogate", UnicodeEncodeError, "root.search_by_text(surrogate)"),
    ("search_by_name-float-depth", TypeError, "root.search_by_name(name, float_obj)"),
    ("from_dict-missing-name", ValueError, "Node.from_dict(no_name)"),
    ("from_dict-list-attrs", ValueError, "Node.from_dict(bad_attrs)"),
    ("from_dict-composite", TypeError, "Node.from_dict(composite)"),
    ("from_dict-composite-in-children", TypeError, "Node.from_dict(nested_composite)"),
    ("from_dict-children-iter-raises", TypeError, "Node.from_dict(failing_children)"),
    ("from_dict-int-key", TypeError, "Node.from_dict(int_key)"),
    ("from_dict-list", TypeError, "Node.from_dict(list_obj)"),
    ("_restore_node-cut", ValueError, "arbolite._restore_node(cut_blob)"),
    ("_restore_node-cut-without-lock", ValueError, "arbolite._restore_node(cut_big_blob)"),
    ("_restore_node-str", TypeError, "arbolite._restore_node(name)"),
    ("__reduce__-not-a-node", TypeError, "Node.__reduce__(name)"),
    ("iter_string-malformed", arbolite.ParseError, "list(arbolite.iter_string(bad_xml, b1.name))"),
    ("iter_string-malformed-after-a-record", arbolite.ParseError, "list(arbolite.iter_string(bad_after, b1.name))"),
    ("iter_file-malformed", arbolite.ParseError, "list(arbolite.iter_file(bad_path, b1.name))"),
    ("iter_file-missing", FileNotFoundError, "list(arbolite.iter_file(missing_path, b1.name))"),
    ("iter_file-raising-source", LookupError, "list(arbolite.iter_file(raising_source, b1.name))"),
    ("iter_string-tag-list", TypeError, "arbolite.iter_string(xml, list_obj)"),
    ("parse_dict-malformed", arbolite.ParseError, "arbolite.parse_dict(bad_xml)"),
    ("parse_dict-force_list-float", TypeError, "arbolite.parse_dict(xml, force_list=float_obj)"),
    ("unparse_dict-two-roots", ValueError, "arbolite.unparse_dict({name: text, key: text})"),
    ("unparse_dict-list", TypeError, "arbolite.unparse_dict(list_obj)"),
]


def watched(ns):
    """Everything a call could keep or drop a reference to."""
    out = dict(vars(ns))
    out.update({"Node": Node, "SearchType.Tag": SearchType.Tag, "SearchType.Attr": SearchType.Attr,
                "SearchType.Text": SearchType.Text})
    return out


def run(call, expected):
    try:
        call()
    except BaseException as e:
        if expected is None or type(e) is not expected:
            raise
        return
    if expected is not None:
        raise AssertionError(f"no {expected.__name__}")


def leaked(call, expected, objects, calls=CALLS):
    """{name: change of its reference count} over `calls` calls, for the objects that changed."""
    run(call, expected)  # first-call caches are not leaks
    run(call, expected)
    gc.collect()
    before = {k: sys.getrefcount(v) for k, v in objects.items()}
    # An immortal object would hide a leak; everything watched must be able to show one.
    assert all(n < 1 << 20 for n in before.values()), [k for k, n in before.items() if n >= 1 << 20]
    for _ in range(calls):
        run(call, expected)
    gc.collect()
    after = {k: sys.getrefcount(v) for k, v in objects.items()}
    return {k: after[k] - before[k] for k in objects if after[k] != before[k]}


def compile_call(ns, expression):
    scope = {"arbolite": arbolite, "Node": Node, "SearchType": SearchType, "OrderedDict": collections.OrderedDict,
             **vars(ns)}
    return eval("lambda: " + expression, scope)


@pytest.mark.parametrize("expected, expression", [pytest.param(e, x, id=i) for i, e, x in SUCCESS + ERRORS])
def test_no_reference_is_kept_or_lost(ns, expected, expression):
    objects = watched(ns)
    call = compile_call(ns, expression)
    assert leaked(call, expected, objects) == {}


@pytest.mark.parametrize(
    "expression, leaks",
    [
        # An argument kept, a result node kept, a node inside a kept exception.
        pytest.param("keep.append(name)", "name", id="argument"),
        pytest.param("keep.append(Node(name))", "Node", id="result-node"),
        pytest.param("keep.append(root.search_by_name(c.name))", "c", id="search-result"),
        pytest.param("keep.append(LookupError(c))", "c", id="inside-an-exception"),
    ],
)
def test_a_reference_kept_per_call_is_seen(ns, expression, leaks):
    # The check above would pass if it could not see leaks; here each call
    # keeps one reference and the count must move by exactly one per call.
    ns.keep = []
    call = compile_call(ns, expression)
    assert leaked(call, None, watched(ns)) == {leaks: CALLS}


# --- results ---------------------------------------------------------------

# A result kept alive by a leaked reference is never freed: a dropped str,
# list or dict holds at least 40 bytes of Python memory (an immortal object,
# such as an interned or one-character str, cannot leak and holds none). The
# slack covers the interpreter's bounded free lists and caches.
SLACK_PER_CALL = 8
WARM_UP = 200
ROUNDS = 2


# The type attribute cache is indexed by the address of the name looked up and
# holds a reference to it: a name made anew for each lookup (as
# PyObject_GetAttrString makes it) stays there until another lookup takes its
# slot, up to 4096 names. Bounded, but it grows over a few thousand calls,
# the more so where freed addresses are not reused soon (the sanitized run).
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def settle():
    gc.collect()
    _clear_caches()


def reachable(value):
    """The mortal objects a result holds through lists, tuples and dicts, the
    result included; a Node's parts are made anew on each access."""
    seen, stack = {}, [value]
    while stack:
        x = stack.pop()
        if id(x) in seen or sys.getrefcount(x) >= 1 << 20:
            continue
        seen[id(x)] = x
        if isinstance(x, (list, tuple)):
            stack.extend(x)
        elif isinstance(x, dict):
            stack.extend(x.keys())
            stack.extend(x.values())
    return list(seen.values())


def kept_results(call, expected, calls=CALLS):
    """(bytes of Python memory still held after `calls` calls whose results
    or exceptions were dropped, {object reachable from the first result:
    change of its reference count} for the objects whose count changed,
    nodes still alive). Nodes live in the module's own memory, which the
    tracer does not see; every live node holds a reference to its class,
    so they are counted by that."""
    def once():
        try:
            return call()
        except BaseException as e:
            if expected is None or type(e) is not expected:
                raise
            return None

    once()
    first = once()
    parts = reachable(first) if first is not None else []
    gc.collect()
    counts = [sys.getrefcount(x) for x in parts]  # each one counted while `x` also names it
    tracemalloc.start()
    try:
        # Fills the interpreter's free lists, whose objects stay allocated.
        for _ in range(WARM_UP):
            once()
        # A kept result grows the memory in every round; the interpreter's
        # one-off allocations (a cache filled, a table resized) in one only.
        grown = nodes = None
        for _ in range(ROUNDS):
            settle()
            before = tracemalloc.get_traced_memory()[0]
            nodes_before = sys.getrefcount(Node)
            for _ in range(calls):
                once()
            settle()
            growth = tracemalloc.get_traced_memory()[0] - before
            grown = growth if grown is None else min(grown, growth)
            alive = sys.getrefcount(Node) - nodes_before
            nodes = alive if nodes is None else min(nodes, alive)
    finally:
        tracemalloc.stop()
    # Not through zip(), whose reused result tuple would hold one more reference.
    after = [sys.getrefcount(x) for x in parts]
    moved = {repr(parts[i])[:60]: after[i] - counts[i] for i in range(len(parts)) if after[i] != counts[i]}
    return grown, moved, nodes


@pytest.mark.parametrize("expected, expression", [pytest.param(e, x, id=i) for i, e, x in SUCCESS + ERRORS])
def test_no_result_is_kept(ns, expected, expression):
    grown, moved, nodes = kept_results(compile_call(ns, expression), expected)
    assert moved == {}
    assert grown <= CALLS * SLACK_PER_CALL, grown
    assert nodes == 0, nodes


_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_incref.restype = None
_decref = ctypes.pythonapi.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]
_decref.restype = None


class Leaker:
    """Keeps one reference to each value it is given, as a faulty operation
    would, while holding nothing that Python allocates; `give_back` drops
    them at the end, so that the leak sanitizer sees no leak at exit."""

    def __init__(self, capacity):
        self.addresses = (ctypes.c_void_p * capacity)()
        self.count = 0

    def __call__(self, value):
        _incref(value)
        self.addresses[self.count] = id(value)
        self.count += 1
        return value

    def raised(self, call):
        try:
            call()
        except Exception as e:
            self(e)
            raise

    def give_back(self):
        for i in range(self.count):
            _decref(self.addresses[i])
        self.count = 0


@pytest.mark.parametrize(
    "expected, expression",
    [
        pytest.param(None, "leak(arbolite.write_string(root))", id="str-written"),
        pytest.param(None, "leak(root.name)", id="str-name"),
        pytest.param(None, "leak(str(root))", id="str-outline"),
        pytest.param(None, "leak(root.children)", id="list-children"),
        pytest.param(None, "leak(root.search_by_name(b1.name))", id="list-search"),
        pytest.param(None, "leak(root.attrs)", id="dict-attrs"),
        pytest.param(None, "leak(root.to_dict())", id="dict-to_dict"),
        pytest.param(None, "leak(root.to_dict()['children'][0]['attrs'])", id="dict-nested"),
        pytest.param(None, "leak(list(root.attrs)[0])", id="str-key"),
        pytest.param(None, "leak(Node(name, attrs, kids, text))", id="Node-built"),
        pytest.param(None, "leak(arbolite.read_string(xml, tag))", id="Node-read"),
        pytest.param(arbolite.ParseError, "leak.raised(lambda: arbolite.read_string(bad_xml, tag))", id="error"),
        pytest.param(TypeError, "leak.raised(lambda: Node(name, list_obj))", id="error-with-note"),
        pytest.param(None, "leak(good_dict['children'])", id="shared-list"),
    ],
)
def test_a_kept_result_is_seen(ns, expected, expression):
    # The check above would pass if it could not see a result kept alive:
    # here each call keeps one.
    leak = Leaker(2 + WARM_UP + ROUNDS * CALLS)
    scope = {"leak": leak, "arbolite": arbolite, "Node": Node, **vars(ns)}
    call = eval("lambda: " + expression, scope)
    try:
        grown, moved, nodes = kept_results(call, expected)
    finally:
        leak.give_back()
    if expression in ("leak(good_dict['children'])", "leak(root.name)", "leak(list(root.attrs)[0])"):
        # The same object each call (a repeated name is given as the same
        # str): its count moves, its memory does not.
        assert list(moved.values()) == [WARM_UP + ROUNDS * CALLS], moved
    elif expression.startswith(("leak(Node(", "leak(arbolite.read_string")):
        # Each kept node stays alive with all it holds.
        assert nodes >= CALLS, nodes
    else:
        assert grown > CALLS * SLACK_PER_CALL, grown
