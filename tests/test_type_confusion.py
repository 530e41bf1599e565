"""Values of the wrong type, and values whose protocols misbehave, passed to
every parameter of every entry point. Each gives a correct result or a clean
exception: TypeError, ValueError (UnicodeError included), OverflowError,
MemoryError, OSError for paths, BufferError for a buffer that is not
contiguous, LookupError for a document that declares an unknown encoding, or
the exception the value itself raised.
A value that is a subclass of a builtin (a str, dict or list subclass) must
behave exactly like the builtin it converts to. Every group runs in a fresh
interpreter in development mode (debug allocator hooks), so a crash fails
only that group."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import arbolite

from conftest import MODULE_ROOT as MODULE_DIR


def run_child(code, cwd, timeout=60, limit_bytes=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR, env.get("PYTHONPATH")) if p)
    prelude = ""
    if limit_bytes and os.environ.get("ARBOLITE_SANITIZED") != "1":
        prelude = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))\n"
    return subprocess.run(
        [sys.executable, "-X", "dev", "-c", prelude + textwrap.dedent(code)],
        env=env,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def child_outcomes(result):
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    lines = [l for l in result.stdout.splitlines() if l.startswith("{")]
    assert lines, result.stdout[-2000:]
    return [json.loads(l) for l in lines]


# The hostile values and the harness that reports, for each, the outcome of
# the call and the outcome of the same call with the value converted to the
# builtin it stands for.
HARNESS = r'''
import json, sys
import arbolite
from arbolite import Node, SearchType

class Boom(Exception):
    """Raised by the hostile protocol methods below."""

class S(str): pass
class D(dict): pass
class BadIndex:
    def __index__(self): raise Boom("__index__")
class BadInt(int):
    def __index__(self): raise Boom("__index__")
class BadLenList(list):
    def __len__(self): raise Boom("__len__")
class BadIterList(list):
    def __iter__(self): raise Boom("__iter__")
class BadEqStr(str):
    def __eq__(self, other): raise Boom("__eq__")
    __hash__ = str.__hash__
class BadHashStr(str):
    def __hash__(self): raise Boom("__hash__")
class BadStrStr(str):
    def __str__(self): raise Boom("__str__")
class B(bytes): pass
class FsPath:
    def __init__(self, p): self.p = p
    def __fspath__(self): return self.p
class BadFsPath:
    def __fspath__(self): raise Boom("__fspath__")
class NoneFsPath:
    __fspath__ = None
class BadIterDict(dict):
    def __iter__(self): raise Boom("__iter__")
    def keys(self): raise Boom("keys")
    def items(self): raise Boom("items")
    def __getitem__(self, key): raise Boom("__getitem__")
    def __len__(self): raise Boom("__len__")

VALUES = {
    "None": None, "0": 0, "1": 1, "-1": -1, "True": True, "1.5": 1.5, "nan": float("nan"),
    "bytes": b"r", "bytearray": bytearray(b"r"), "str-sub": S("r"), "str-sub-markup": S("<r/>"),
    "dict": {}, "dict-sub": D(k=S("v")), "list": [], "tuple": (),
    "BadIndex": BadIndex(), "BadInt": BadInt(3), "BadLenList": BadLenList([Node("c")]),
    "BadIterList": BadIterList([Node("c")]), "BadEqStr": BadEqStr("r"), "BadHashStr": BadHashStr("r"),
    "BadStrStr": BadStrStr("r"), "BadIterDict": BadIterDict(k="v"),
    "2**64": 2**64, "2**1000": 2**1000, "-2**1000": -2**1000, "object": object(), "Node": Node("r"),
    "SearchType.Tag": SearchType.Tag, "type": str,
    # Documents as bytes, and paths as open() takes them.
    "bytes-markup": b"<r/>", "bytes-sub": B(b"r"), "bytes-sub-markup": B(b"<r/>"),
    "bytearray-markup": bytearray(b"<r/>"), "memoryview-markup": memoryview(b"<r/>"),
    "memoryview-strided": memoryview(b"<xr//>>")[::2], "memoryview-bytearray": memoryview(bytearray(b"<r/>")),
    "bytes-invalid-utf-8": b"<r>\xff</r>", "bytes-unknown-encoding": b"<?xml version='1.0' encoding='nope'?><r/>",
    "bytes-utf-16": "<r/>".encode("utf-16"),
    "PathLike": FsPath("r"), "PathLike-bytes": FsPath(b"r"), "PathLike-int": FsPath(1),
    "PathLike-raises": BadFsPath(), "PathLike-None": NoneFsPath(),
}

def plain(v):
    """The builtin value v stands for, or None when v is plain already."""
    if type(v) is not str and isinstance(v, str):
        return str.__str__(v)
    if type(v) is not dict and isinstance(v, dict):
        return {plain(k) or k: plain(x) or x for k, x in dict.items(v)}
    if type(v) is not list and isinstance(v, list):
        return list(list.__iter__(v))
    if type(v) is not bytes and isinstance(v, bytes):
        return bytes(v)
    return None

def canonical(r):
    if isinstance(r, Node):
        return ["Node", r.to_dict()]
    if isinstance(r, list):
        return [canonical(x) for x in r]
    if r is None or isinstance(r, (str, int)):
        return r
    return ["other", type(r).__name__]

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, OSError, BufferError, Boom)

def outcome(call, v):
    try:
        r = call(v)
    except ALLOWED as e:
        return ["raised", type(e).__name__]
    except BaseException as e:
        # The codec registry's own LookupError, not a KeyError or an IndexError.
        if type(e) is LookupError:
            return ["raised", "LookupError"]
        return ["UNCLEAN", type(e).__module__ + "." + type(e).__qualname__, str(e)[:200]]
    return ["result", canonical(r)]

def report(slot, call):
    for name, v in VALUES.items():
        got = outcome(call, v)
        p = plain(v)
        baseline = outcome(call, p) if p is not None else None
        print(json.dumps({"slot": slot, "value": name, "got": got, "plain": baseline}), flush=True)
'''

N_SETUP = 'N = Node("r", {"k": "v"}, [Node("c", text="t")], "t")\nopen("r", "w").write("<r k=\'v\'><c>t</c></r>")\n'

SLOTS = {
    "read_string.xml_string": 'lambda v: arbolite.read_string(v, "r")',
    "read_string.root_tag": 'lambda v: arbolite.read_string("<r/>", v)',
    "read_file.file_path": 'lambda v: arbolite.read_file(v, "r")',
    "read_file.root_tag": 'lambda v: arbolite.read_file("r", v)',
    "write_string.node": "lambda v: arbolite.write_string(v)",
    "write_string.indent": "lambda v: arbolite.write_string(N, v)",
    "write_string.default_xml_def": "lambda v: arbolite.write_string(N, None, v)",
    "write_file.node": 'lambda v: arbolite.write_file(v, "out.xml")',
    "write_file.file_path": "lambda v: arbolite.write_file(N, v)",
    "write_file.indent": 'lambda v: arbolite.write_file(N, "out.xml", indent=v)',
    "write_file.default_xml_def": 'lambda v: arbolite.write_file(N, "out.xml", default_xml_def=v)',
    "Node.name": "lambda v: Node(v)",
    "Node.attrs": 'lambda v: Node("r", v)',
    "Node.children": 'lambda v: Node("r", None, v)',
    "Node.text": 'lambda v: Node("r", text=v)',
    "Node.__to_string.spacing": 'lambda v: getattr(N, "__to_string")(v)',
    "search.by": 'lambda v: N.search(v, "c")',
    "search.value": "lambda v: N.search(SearchType.Tag, v)",
    "search.depth": 'lambda v: N.search(SearchType.Text, "t", v)',
    "search_by_name.name": "lambda v: N.search_by_name(v)",
    "search_by_name.depth": 'lambda v: N.search_by_name("c", depth=v)',
    "search_by_attr.key": "lambda v: N.search_by_attr(v)",
    "search_by_attr.depth": 'lambda v: N.search_by_attr("k", v)',
    "search_by_text.text": "lambda v: N.search_by_text(v)",
    "findall.path": "lambda v: N.findall(v)",
    "findall.namespaces": 'lambda v: N.findall("c", v)',
    "write_string.pretty": "lambda v: arbolite.write_string(N, pretty=v)",
    "write_file.pretty": 'lambda v: arbolite.write_file(N, "out.xml", pretty=v)',
    "search_by_text.depth": 'lambda v: N.search_by_text("t", v)',
    "Node.from_dict": "lambda v: Node.from_dict(v)",
    "Node.from_dict.name": 'lambda v: Node.from_dict({"name": v, "attrs": {}, "children": [], "text": None})',
    "Node.from_dict.attrs": 'lambda v: Node.from_dict({"name": "r", "attrs": v, "children": [], "text": None})',
    "Node.from_dict.children": 'lambda v: Node.from_dict({"name": "r", "attrs": {}, "children": v, "text": None})',
    "Node.from_dict.text": 'lambda v: Node.from_dict({"name": "r", "attrs": {}, "children": [], "text": v})',
    "Node.from_dict.key": 'lambda v: Node.from_dict({v: "r", "attrs": {}, "children": [], "text": None})',
    "iter_file.source": 'lambda v: list(arbolite.iter_file(v, "r"))',
    "iter_file.tag": 'lambda v: list(arbolite.iter_file("r", v))',
    "iter_string.xml": 'lambda v: list(arbolite.iter_string(v, "r"))',
    "iter_string.tag": 'lambda v: list(arbolite.iter_string("<r/>", v))',
    "_restore_node.data": "lambda v: arbolite._restore_node(v)",
    "Node.__deepcopy__.memo": "lambda v: N.__deepcopy__(v)",
}


def _value_names():
    """The names of the hostile values, in the harness's order. Only defines
    them: no call is made here."""
    scope = {}
    exec(HARNESS, scope)
    return list(scope["VALUES"])


VALUE_NAMES = _value_names()


@pytest.mark.parametrize("slot", sorted(SLOTS))
def test_every_value_in_every_parameter(slot, tmp_path):
    # Every parameter states what it may accept; an unlisted one is an error,
    # not a pass.
    assert slot in ACCEPTED, f"no ACCEPTED entry for {slot}"
    code = HARNESS + N_SETUP + f"report({slot!r}, {SLOTS[slot]})\n"
    rows = child_outcomes(run_child(code, tmp_path))
    assert [(r["slot"], r["value"]) for r in rows] == [(slot, name) for name in VALUE_NAMES]
    unclean = [r for r in rows if r["got"][0] == "UNCLEAN"]
    assert not unclean, unclean
    # A builtin's subclass behaves as the builtin, unless its own hostile
    # method raised.
    differ = [
        r for r in rows
        if r["plain"] is not None and r["got"] != r["plain"] and r["got"] != ["raised", "Boom"]
    ]
    assert not differ, differ
    # Nothing is both accepted and nonsensical: every result the call gave
    # for a value of a wrong kind would have to be listed here to pass.
    accepted = {r["value"] for r in rows if r["got"][0] == "result"}
    assert accepted <= ACCEPTED[slot], accepted - ACCEPTED[slot]


def test_every_parameter_has_its_accepted_values():
    assert sorted(ACCEPTED) == sorted(SLOTS)
    unknown = {slot: names - set(VALUE_NAMES) for slot, names in ACCEPTED.items() if names - set(VALUE_NAMES)}
    assert not unknown, unknown


# Which of the values each parameter may accept (a subset of the harness's
# VALUES). A str subclass stands for its str, whatever its own methods do.
_STR_LIKE = {"str-sub", "str-sub-markup", "BadEqStr", "BadHashStr", "BadStrStr"}
_OPT_INT = {"None", "0", "1", "True", "BadInt"}
_DICTS = {"dict", "dict-sub", "BadIterDict"}
_BYTES_MARKUP = {"bytes-markup", "bytes-sub-markup", "bytearray-markup", "memoryview-markup", "memoryview-bytearray",
                 "bytes-utf-16"}
# "r" names the file the children write; "out.xml" the one write_file makes.
_PATHS = {"str-sub", "BadEqStr", "BadHashStr", "BadStrStr", "bytes", "bytes-sub", "PathLike", "PathLike-bytes"}
ACCEPTED = {
    # Only the markup strings and bytes are documents; the other values are not.
    "read_string.xml_string": {"str-sub-markup"} | _BYTES_MARKUP,
    "read_string.root_tag": _STR_LIKE,
    "read_file.file_path": _PATHS,
    "read_file.root_tag": _STR_LIKE,
    "write_string.node": {"Node"},
    "write_string.indent": _OPT_INT,
    "write_string.default_xml_def": {"None", "True"},
    "write_file.node": {"Node"},
    "write_file.file_path": _STR_LIKE | _PATHS,
    "write_file.indent": _OPT_INT,
    "write_file.default_xml_def": {"None", "True"},
    "Node.name": _STR_LIKE,
    "Node.attrs": {"None", "dict", "dict-sub", "BadIterDict"},
    "Node.children": {"None", "list", "tuple", "BadLenList", "BadIterList"},
    "Node.text": {"None"} | _STR_LIKE,
    "Node.__to_string.spacing": _OPT_INT,
    "search.depth": _OPT_INT | {"-1"},
    "search_by_name.depth": _OPT_INT | {"-1"},
    "search_by_attr.depth": _OPT_INT | {"-1"},
    "search_by_text.depth": _OPT_INT | {"-1"},
    "search.by": {"SearchType.Tag"},
    "search.value": _STR_LIKE,
    "search_by_name.name": _STR_LIKE,
    "search_by_attr.key": _STR_LIKE,
    "search_by_text.text": _STR_LIKE,
    "findall.path": _STR_LIKE,
    "findall.namespaces": {"None"} | _DICTS,
    "write_string.pretty": {"None", "True"},
    "write_file.pretty": {"None", "True"},
    # No value is a whole node dict: each lacks "name" (a missing name is a ValueError).
    "Node.from_dict": set(),
    "Node.from_dict.name": _STR_LIKE,
    "Node.from_dict.attrs": _DICTS,
    # Sequences of node dicts; the list subclasses here hold a Node, not a dict.
    "Node.from_dict.children": {"list", "tuple"},
    # A text that is not a str is read as absent, like a missing one, but
    # only for None and the other shapes of the dict form (dicts and sequences).
    "Node.from_dict.text": {"None", "list", "tuple"} | _STR_LIKE | _DICTS,
    # None of the values equals "name", so the name is missing.
    "Node.from_dict.key": set(),
    "iter_file.source": _PATHS,
    "iter_file.tag": _STR_LIKE,
    # A text without an element is a document with nothing to yield.
    "iter_string.xml": _STR_LIKE | _BYTES_MARKUP | {"bytes", "bytes-sub", "bytearray"},
    "iter_string.tag": _STR_LIKE,
    # Only the bytes of a pickled tree; b"r" is not one.
    "_restore_node.data": set(),
    # The memo is not looked at: the copy is the node itself.
    "Node.__deepcopy__.memo": set(VALUE_NAMES),
}


# --- containers that change while they are read ---------------------------

MUTATION_PRELUDE = r'''
import gc, json, collections.abc
import arbolite
from arbolite import Node

def leaf(name):
    return {"name": name, "attrs": {}, "children": [], "text": None}

class Hooked(str):
    """A key equal to a plain str, whose comparison runs `hook` first."""
    hook = None
    def __hash__(self): return str.__hash__(self)
    def __eq__(self, other):
        if Hooked.hook: Hooked.hook()
        return str.__eq__(self, other)

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, RuntimeError, IndexError)
CHANGED = ("dictionary changed size during iteration", "dictionary keys changed during iteration")
def run(make):
    try:
        r = make()
    except ALLOWED as e:
        got = ["raised", type(e).__name__]
    except BaseException as e:
        name = type(e).__module__ + "." + type(e).__qualname__
        # A dict changed under the reader is the documented internal error.
        if name == "arbolite.InternalError" and str(e) in CHANGED:
            got = ["fatal", str(e)]
        else:
            got = ["UNCLEAN", name, str(e)[:200]]
    else:
        got = ["result", r.to_dict() if isinstance(r, Node) else repr(r)]
    gc.collect()
    print(json.dumps(got), flush=True)
'''

MUTATIONS = [
    pytest.param(
        """
        class ClearingChildren(list):
            def __iter__(self):
                outer.clear(); outer.update({str(i): i for i in range(64)}); gc.collect()
                return list.__iter__(self)
        outer = {"name": "a", "attrs": {"k": "v"}, "children": ClearingChildren([leaf("b")]), "text": "t"}
        run(lambda: Node.from_dict(outer))
        """,
        marks=pytest.mark.expect_fatal, id="from_dict-children-iter-clears-the-dict",
    ),
    pytest.param(
        """
        kids = []
        Hooked.hook = lambda: (kids.clear(), gc.collect())
        kids.extend([{Hooked("name"): "b", "attrs": {}, "children": [], "text": None}, leaf("x"), leaf("y")])
        run(lambda: Node.from_dict({"name": "a", "attrs": {}, "children": kids, "text": None}))
        """,
        id="from_dict-key-compare-clears-the-children",
    ),
    pytest.param(
        """
        outer = {}
        Hooked.hook = lambda: (outer.clear(), outer.update({str(i): i for i in range(64)}), gc.collect())
        outer.update({"name": "a", "attrs": {"k": "v"}, "text": None,
                      "children": [{Hooked("name"): "b", "attrs": {}, "children": [], "text": None}]})
        run(lambda: Node.from_dict(outer))
        """,
        id="from_dict-key-compare-clears-the-parent",
    ),
    pytest.param(
        """
        attrs = {"k": "v"}
        Hooked.hook = lambda: (attrs.clear(), attrs.update({str(i): "x" for i in range(64)}), gc.collect())
        run(lambda: Node.from_dict({"name": "a", "attrs": attrs, "text": None,
                                    "children": [{Hooked("name"): "b", "attrs": {}, "children": [], "text": None}]}))
        """,
        id="from_dict-key-compare-rewrites-the-attrs",
    ),
    pytest.param(
        """
        d = {}
        Hooked.hook = lambda: (d.clear(), gc.collect())
        d.update({Hooked("name"): "x", "attrs": {}, "children": [], "text": None})
        run(lambda: Node.from_dict(d))
        """,
        id="from_dict-key-compare-clears-its-own-dict",
    ),
    pytest.param(
        """
        attrs = {"k": "v"}
        class Seq(collections.abc.Sequence):
            def __len__(self): return 2
            def __getitem__(self, i):
                attrs.clear(); attrs.update({str(j): "y" for j in range(64)}); gc.collect()
                if i >= 2: raise IndexError(i)
                return Node("c")
        run(lambda: Node("r", attrs, Seq()))
        """,
        id="Node-children-rewrite-the-attrs",
    ),
    pytest.param(
        """
        class Growing(list):
            def __getitem__(self, i):
                self.append(Node("z")); return list.__getitem__(self, i)
            def __iter__(self):
                for x in list.__iter__(self):
                    if len(self) < 100: self.append(Node("z"))
                    yield x
        run(lambda: len(Node("r", None, Growing([Node("a")])).children))
        """,
        id="Node-children-grow-while-read",
    ),
    pytest.param(
        """
        class Shrinking(list):
            def __iter__(self):
                it = list.__iter__(self)
                first = next(it)
                self.clear(); gc.collect()
                yield first
                yield from it
        run(lambda: len(Node("r", None, Shrinking([Node("a"), Node("b"), Node("c")])).children))
        """,
        id="Node-children-shrink-while-read",
    ),
    pytest.param(
        """
        class Huge(collections.abc.Sequence):
            def __len__(self): return 2**62
            def __getitem__(self, i):
                if i >= 1: raise IndexError(i)
                return Node("a")
        run(lambda: Node("r", None, Huge()))
        """,
        id="Node-children-claim-2**62-items",
    ),
    pytest.param(
        """
        class Huge(collections.abc.Sequence):
            def __len__(self): return 2**62
            def __getitem__(self, i):
                if i >= 1: raise IndexError(i)
                return leaf("a")
        run(lambda: Node.from_dict({"name": "r", "attrs": {}, "children": Huge(), "text": None}))
        """,
        id="from_dict-children-claim-2**62-items",
    ),
]


@pytest.mark.parametrize("code", MUTATIONS)
def test_containers_changing_while_read(code, tmp_path, request):
    result = run_child(MUTATION_PRELUDE + textwrap.dedent(code), tmp_path)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    got = json.loads(result.stdout.splitlines()[-1])
    if "expect_fatal" in request.keywords:
        assert got == ["fatal", "dictionary changed size during iteration"], got
    else:
        assert got[0] in ("result", "raised"), got


def test_a_cyclic_dict_is_refused_not_expanded(tmp_path):
    # A dict that contains itself as a child is an infinite tree. Expanding
    # it until memory runs out takes the whole machine with it when no limit
    # is set; it has to be refused (ValueError or RecursionError). The child
    # runs under a 2 GB address-space cap so a failure stays contained.
    result = run_child(
        """
        import arbolite
        cyc = {"name": "a", "attrs": {}, "children": [], "text": None}
        cyc["children"].append(cyc)
        try:
            arbolite.Node.from_dict(cyc)
        except BaseException as e:
            print(type(e).__name__)
        else:
            print("result")
        """,
        tmp_path,
        limit_bytes=2 << 30,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() in ("ValueError", "RecursionError"), result.stdout


# --- the class itself -----------------------------------------------------

CLASS_CASES = [
    pytest.param("class X(arbolite.Node): pass", "TypeError", id="subclass"),
    pytest.param("type('X', (arbolite.Node,), {})", "TypeError", id="subclass-via-type"),
    pytest.param("n.name = 'x'", "AttributeError", id="set-name"),
    pytest.param("n.attrs = {}", "AttributeError", id="set-attrs"),
    pytest.param("n.children = []", "AttributeError", id="set-children"),
    pytest.param("n.text = 'x'", "AttributeError", id="set-text"),
    pytest.param("del n.name", "AttributeError", id="del-name"),
    pytest.param("arbolite.SearchType(9)", "TypeError", id="SearchType-call"),
    pytest.param("arbolite.Node.__new__(int, 'r')", "TypeError", id="new-of-other-type"),
    pytest.param("arbolite.Node.search_by_name(1, 'r')", "TypeError", id="unbound-on-int"),
    pytest.param("arbolite.Node.to_dict(None)", "TypeError", id="to_dict-on-None"),
    pytest.param("arbolite.Node.__str__(object())", "TypeError", id="str-on-object"),
    pytest.param("getattr(arbolite.Node, '__to_string')('r')", "TypeError", id="to_string-on-str"),
]


@pytest.mark.parametrize("stmt, expected", CLASS_CASES)
def test_the_class_refuses_misuse(stmt, expected, tmp_path):
    result = run_child(
        f"""
        import arbolite
        n = arbolite.Node("r", {{"k": "v"}}, [arbolite.Node("c")], "t")
        try:
            {stmt}
        except BaseException as e:
            print(type(e).__name__)
        else:
            print("no exception")
        # The node is unchanged whatever happened.
        assert (n.name, n.attrs, [c.name for c in n.children], n.text) == ("r", {{"k": "v"}}, ["c"], "t")
        """,
        tmp_path,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected


def test_returned_containers_are_copies(tmp_path):
    result = run_child(
        """
        import arbolite
        n = arbolite.Node("r", {"k": "v"}, [arbolite.Node("c")], "t")
        n.attrs["z"] = "1"
        n.attrs.clear()
        n.children.append(1)
        n.children.clear()
        d = n.to_dict()
        d["children"].append(d)
        d["attrs"]["x"] = "y"
        assert n.attrs == {"k": "v"} and [c.name for c in n.children] == ["c"]
        assert n.to_dict() == {"name": "r", "attrs": {"k": "v"}, "text": "t",
                               "children": [{"name": "c", "attrs": {}, "children": [], "text": None}]}
        print("ok")
        """,
        tmp_path,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "ok"
