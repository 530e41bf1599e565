"""Node.to_dict and Node.from_dict, and read_dict."""
import collections
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import arbolite
from arbolite import Node
from conftest import CORPUS_FILES, examples, written_root

KEYS = ["name", "attrs", "children", "text"]
NOTE = ["while processing 'dict_'"]


def node_dict(name="a", attrs=None, children=None, text=None, **extra):
    return {"name": name, "attrs": {} if attrs is None else attrs, "children": [] if children is None else children,
            "text": text, **extra}


def shape(node):
    """A node tree as nested tuples, read through the properties only."""
    return (node.name, list(node.attrs.items()), node.text, [shape(c) for c in node.children])


def enum_message(*causes):
    """The composite message, from the described cause of each variant in order."""
    lines = ["failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')"]
    for variant, cause in zip(["String", "Vec", "NullableString", "Map"], causes):
        lines.append(f"- variant {variant} ({variant}): TypeError: failed to extract field "
                     f"HashmapTypes::{variant}.0, caused by {cause}")
    return "\n".join(lines)


def not_instance(value, target):
    return f"TypeError: '{type(value).__qualname__}' object is not an instance of '{target}'"


def fits_nothing(value, vec_cause=None):
    """The message for a non-str value that fails every shape."""
    return enum_message(not_instance(value, "str"), vec_cause or not_instance(value, "Sequence"),
                        not_instance(value, "str"), not_instance(value, "dict"))


def raised(exc_type, d):
    with pytest.raises(exc_type) as info:
        Node.from_dict(d)
    return info.value


@pytest.mark.parametrize("node, expected", [
    (Node("a"), node_dict("a")),
    (Node("a", text=""), node_dict("a", text="")),
    (Node("", {"z": "1", "a": "", "m": "3"}), node_dict("", {"z": "1", "a": "", "m": "3"})),
    (Node("r", children=[Node("x", text="t"), Node("y", {"k": "v"})]),
     node_dict("r", children=[node_dict("x", text="t"), node_dict("y", {"k": "v"})])),
])
def test_to_dict_form_and_key_order(node, expected):
    got = node.to_dict()
    assert got == expected
    stack = [(got, node)]
    while stack:
        d, n = stack.pop()
        assert list(d) == KEYS and list(d["attrs"]) == list(n.attrs)
        stack.extend(zip(d["children"], n.children))


def test_five_fails_every_variant():
    err = raised(TypeError, {"name": 5})
    assert str(err).split("\n") == [
        "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')",
        "- variant String (String): TypeError: failed to extract field HashmapTypes::String.0, caused by TypeError: 'int' object is not an instance of 'str'",
        "- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, caused by TypeError: 'int' object is not an instance of 'Sequence'",
        "- variant NullableString (NullableString): TypeError: failed to extract field HashmapTypes::NullableString.0, caused by TypeError: 'int' object is not an instance of 'str'",
        "- variant Map (Map): TypeError: failed to extract field HashmapTypes::Map.0, caused by TypeError: 'int' object is not an instance of 'dict'",
    ]
    assert err.__notes__ == NOTE


class Failing:
    """A sequence whose length fails (only a hint) and whose iteration raises with a cause."""
    def __getitem__(self, i):
        raise IndexError(i)

    def __len__(self):
        raise RuntimeError("no length")

    def __iter__(self):
        raise ValueError("outer") from KeyError("k")


ENCODE_ERROR = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


@pytest.mark.parametrize("d, message", [
    (node_dict(attrs={"k": 1}), enum_message(not_instance({}, "str"), not_instance({}, "Sequence"),
                                             not_instance({}, "str"), not_instance(1, "str"))),
    (node_dict(text=["x"]), fits_nothing([], not_instance("x", "dict"))),
    (node_dict(extra=5.0), fits_nothing(5.0)),  # read although building ignores it
    (node_dict(children=Failing()), fits_nothing(Failing(), "ValueError: outer, caused by KeyError: 'k'")),
    ({"text": "\ud800"}, enum_message(ENCODE_ERROR, "TypeError: Can't extract `str` to `Vec`", ENCODE_ERROR,
                                      not_instance("", "dict"))),
])
def test_value_fitting_no_variant(d, message):
    assert str(raised(TypeError, d)) == message


def test_failure_in_children_nests_messages():
    inner = "TypeError: " + fits_nothing(5)
    one = node_dict(children=[node_dict("ok"), node_dict(text=5)])
    assert str(raised(TypeError, one)) == fits_nothing([], inner)
    two = node_dict(children=(one,))  # a tuple, so that the two levels read differently
    assert str(raised(TypeError, two)) == fits_nothing((), "TypeError: " + fits_nothing([], inner))
    # reading comes first: the root's missing name is never looked at
    assert str(raised(TypeError, {"children": [node_dict(text=5)]})) == fits_nothing([], inner)
    assert str(raised(TypeError, node_dict(children=[7]))) == fits_nothing([], not_instance(7, "dict"))
    assert str(raised(TypeError, node_dict(children=[{1: "x"}]))) == fits_nothing([], not_instance(1, "str"))


@pytest.mark.parametrize("call, exc_type, message, notes", [
    (lambda: Node.from_dict([]), TypeError, "'list' object is not an instance of 'dict'", NOTE),
    (lambda: Node.from_dict(None), TypeError, "'None' is not an instance of 'dict'", NOTE),
    (lambda: Node.from_dict({1: "a"}), TypeError, "'int' object is not an instance of 'str'", NOTE),
    (lambda: Node.from_dict({"\ud800": "a"}), UnicodeEncodeError, None, NOTE),
    (lambda: Node.from_dict(), TypeError, "Node.from_dict() missing 1 required positional argument: 'dict_'", None),
    (lambda: Node.from_dict({}, {}), TypeError, "Node.from_dict() takes 1 positional arguments but 2 were given", None),
    (lambda: Node.from_dict(d={}), TypeError, "Node.from_dict() got an unexpected keyword argument 'd'", None),
])
def test_argument_errors(call, exc_type, message, notes):
    with pytest.raises(exc_type) as info:
        call()
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes


@pytest.mark.parametrize("d, message", [
    ({}, "Invalid name"),
    (node_dict(name=None), "Invalid name"),
    (node_dict(name={}), "Invalid name"),
    ({"name": "a"}, "Invalid attrs"),
    (node_dict(attrs=[]), "Invalid attrs"),
    (node_dict(attrs="x"), "Invalid attrs"),
    ({"name": "a", "attrs": {}}, "Invalid children"),
    (node_dict(children={}), "Invalid children"),
    # pre-order: the node's own keys, then each child's subtree in turn
    ({"name": "a", "children": [{"attrs": {}}]}, "Invalid attrs"),
    (node_dict(children=[{"name": "b", "attrs": {}}, {"attrs": {}, "children": []}]), "Invalid children"),
    (node_dict(children=[node_dict(children=[{"name": "c", "children": []}]), {"children": []}]), "Invalid attrs"),
    (node_dict(children=[node_dict(), node_dict(children=[node_dict(), {"attrs": {}, "children": []}])]), "Invalid name"),
])
def test_invalid_keys_in_pre_order(d, message):
    assert str(raised(ValueError, d)) == message


class EmptySeq(collections.abc.Sequence):
    def __getitem__(self, i):
        raise IndexError(i)

    def __len__(self):
        return 0


@pytest.mark.parametrize("children", [(), [], range(0), EmptySeq(), (node_dict("x"),), (node_dict("x"), node_dict("y"))])
def test_any_sequence_of_dicts_is_accepted(children):
    assert [c.name for c in Node.from_dict(node_dict(children=children)).children] == [c["name"] for c in children]


@pytest.mark.parametrize("d, expected", [
    ({"name": "a", "attrs": {}, "children": []}, None),
    *[(node_dict(text=t), e) for t, e in [(None, None), ("", ""), ("t", "t"), ([], None), ({}, None),
                                        ({"k": "v"}, None), ([node_dict()], None)]],
])
def test_text(d, expected):
    assert Node.from_dict(d).text == expected


class SubDict(dict):
    def __iter__(self):
        raise AssertionError("the dict's own entries are walked, not __iter__")


def test_dict_subclasses_are_accepted():
    d = SubDict(name="r", attrs=collections.OrderedDict([("z", "1"), ("a", "2")]),
                children=[SubDict(name="c", attrs=SubDict(), children=())])
    assert shape(Node.from_dict(dict_=d)) == ("r", [("z", "1"), ("a", "2")], None, [("c", [], None, [])])


class Mutating(collections.abc.Sequence):
    """Runs `change` on the dict that holds it when it is iterated."""
    def __init__(self, d, change):
        self.d, self.change = d, change

    def __getitem__(self, i):
        raise IndexError(i)

    def __len__(self):
        return 0

    def __iter__(self):
        self.change(self.d)
        return iter(())


@pytest.mark.parametrize("change, message", [
    (dict.clear, "dictionary changed size during iteration"),  # drops the dict's reference to the sequence
    (lambda d: d.update(more="x"), "dictionary changed size during iteration"),
    (lambda d: (d.pop("children"), d.__setitem__("other", "x")), "dictionary keys changed during iteration"),
])
def test_dict_changed_while_read(change, message):
    d = {}
    d["children"] = Mutating(d, change)
    with pytest.raises(BaseException) as info:
        Node.from_dict(d)
    assert not isinstance(info.value, Exception) and str(info.value) == message


def chain(depth, tail=None):
    """`depth` nested node dicts; returns (outermost, innermost)."""
    inner = outer = node_dict("n0", children=[] if tail is None else [tail])
    for i in range(1, depth):
        outer = node_dict(f"n{i}", children=[outer])
    return outer, inner


def cycle_at(depth, length):
    """A chain of `depth` dicts whose innermost `length` form a loop."""
    loop_outer, loop_inner = chain(length)
    loop_inner["children"].append(loop_outer)
    return chain(depth, loop_outer)[0] if depth else loop_outer


@pytest.mark.parametrize("depth, length", [(0, 1), (0, 2), (5, 1), (100, 3), (1000, 777)])
def test_a_dict_containing_itself_is_refused(depth, length):
    error = raised(ValueError, cycle_at(depth, length))
    assert str(error) == "Circular reference detected" and error.__notes__ == NOTE


def test_a_dict_shared_across_branches_is_no_cycle():
    # The same dicts reached along many paths, 2**12 leaves, but never one inside itself.
    d = node_dict("leaf")
    for i in range(12):
        d = node_dict(f"n{i}", children=[d, d])
    node = Node.from_dict(d)
    assert len(node.search_by_name("leaf", -1)) == 2**12


text = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8)
attrs = st.dictionaries(text, text, max_size=4)
trees = st.recursive(st.builds(Node, text, attrs, text=st.none() | text),
                     lambda kids: st.builds(Node, text, attrs, st.lists(kids, max_size=4), st.none() | text),
                     max_leaves=30)


@settings(max_examples=examples(150), deadline=None)
@given(trees)
def test_round_trip(tree):
    copy = Node.from_dict(tree.to_dict())
    assert shape(copy) == shape(tree) and copy is not tree


loose = st.none() | text | st.just([]) | st.dictionaries(text, text, max_size=2)
dict_forms = st.recursive(
    st.fixed_dictionaries({"name": text, "attrs": attrs, "children": st.just([])}, optional={"text": loose, "x": loose}),
    lambda kids: st.fixed_dictionaries({"name": text, "attrs": attrs, "children": st.lists(kids, max_size=3) | st.tuples(kids)},
                                       optional={"text": loose, "x": loose}),
    max_leaves=20)


@settings(max_examples=examples(150), deadline=None)
@given(dict_forms)
def test_dict_form_normalised(d):
    stack = [(Node.from_dict(d).to_dict(), d)]
    while stack:
        got, given_ = stack.pop()
        assert list(got) == KEYS
        assert (got["name"], list(got["attrs"].items())) == (given_["name"], list(given_["attrs"].items()))
        assert got["text"] == (given_["text"] if isinstance(given_.get("text"), str) else None)
        assert len(got["children"]) == len(given_["children"])
        stack.extend(zip(got["children"], given_["children"]))


def run_isolated(code):
    """Runs `code` in a fresh interpreter, so that a crash fails only this test."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.strip()


def test_million_deep_chain():
    assert run_isolated("""
        from arbolite import Node
        DEPTH = 1_000_000
        node = Node("leaf")
        for i in range(DEPTH):
            node = Node("n", {"i": str(i)}, [node])
        d, depth = node.to_dict(), 0
        x = d
        while x["children"]:
            assert list(x) == ["name", "attrs", "children", "text"]
            x, depth = x["children"][0], depth + 1
        assert depth == DEPTH and x["name"] == "leaf"
        try:
            copy = Node.from_dict(d)
        except RecursionError:
            print("recursion error")
        else:
            depth = 0
            while copy.children:
                assert copy.attrs == {"i": str(DEPTH - 1 - depth)}
                copy, depth = copy.children[0], depth + 1
            assert depth == DEPTH and copy.name == "leaf"
            print("copied")
    """) in ("copied", "recursion error")


def test_failure_deep_down_nests_once_per_level():
    assert run_isolated("""
        from arbolite import Node
        d = {"name": 5}
        for _ in range(20_000):
            d = {"name": "n", "attrs": {}, "children": [d]}
        try:
            Node.from_dict(d)
        except TypeError as e:
            print(str(e).count("failed to extract enum HashmapTypes"))
    """) == "20001"


# ---- read_dict: read_string(...).to_dict() without the tree ------------------

def read_both(fn):
    """What a call gives or raises, compared by type, text and notes."""
    try:
        return "value", fn()
    except Exception as e:  # noqa: BLE001
        return type(e), str(e), getattr(e, "__notes__", None), getattr(e, "position", None)


@pytest.mark.parametrize("path", CORPUS_FILES or [None], ids=lambda p: p.name if p else "none")
def test_read_dict_is_read_string_to_dict_on_the_corpus(path):
    if path is None:
        pytest.skip("corpus not found")
    data = path.read_bytes()
    root = written_root(data) if path.name != "iso_3166-2.xml" else "iso_3166_entries"
    for doc in (data, data.decode("utf-8"), bytearray(data)):
        want = read_both(lambda: arbolite.read_string(doc, root).to_dict())
        assert read_both(lambda: arbolite.read_dict(doc, root)) == want
        if want[0] == "value":
            # a child's name: the first element of that name, at any depth
            inner = want[1]["children"][0]["name"] if want[1]["children"] else root
            assert arbolite.read_dict(doc, inner) == arbolite.read_string(doc, inner).to_dict()


@pytest.mark.parametrize("args", [
    ("<r><a/>", "r"),                      # never closed
    ("<r/>", "x"),                         # root not found
    (b"<r>\xff</r>", "r"),                 # not UTF-8
    (b"<?xml version='1.0' encoding='latin-1'?><r>\xe9</r>", "r"),
    ("<r a='1' a='2'/>", "r"),             # duplicate attribute
    ("\ud800<r/>", "r"),                   # a lone surrogate
    (1, "r"), ("<r/>", 1), ("<r/>", "r\x00"),
    ("<r>&amp;<s k='&lt;'/>  t  </r>", "r"),
])
def test_read_dict_errors_and_values_as_read_string(args):
    assert read_both(lambda: arbolite.read_dict(*args)) == read_both(lambda: arbolite.read_string(*args).to_dict())


def test_read_dict_arguments():
    assert arbolite.read_dict(xml_string="<r/>", root_tag="r")["name"] == "r"
    with pytest.raises(TypeError):
        arbolite.read_dict("<r/>")


# ---- the strs of values and texts are shared between dicts and calls ---------

def _values():
    """Values that differ only past 16 or near 32 bytes, or only in length, with
    padding-like and non-ASCII bytes: a table keyed by a value's first bytes or
    its padding would mix them up."""
    heads = ["a" * 15, "a" * 16, "b" * 31, "é" * 8, "x\u4e2d"]
    mixed = [h + t for h in heads for t in ("", "a", "ab", "0", "a" * 17, "\u00a0z")] + ["", "q"]
    # More values of one length than the table has slots: some must share one.
    return mixed + [f"{'a' * 16}{i:04d}" for i in range(700)] + [f"{i:04d}{'a' * 20}" for i in range(700)]


@pytest.mark.parametrize("order", [1, -1])
def test_dict_values_and_texts_as_elementtree(order):
    import xml.etree.ElementTree as ET
    from xml.sax.saxutils import quoteattr, escape
    values = _values()[::order]
    doc = "<r>" + "".join(f"<e k={quoteattr(v)} j={quoteattr(w)}>{escape(w)}</e>"
                          for _ in range(2) for v, w in zip(values, values[::-1])) + "</r>"
    want = [(dict(e.attrib), e.text) for e in ET.fromstring(doc)]
    for d in (arbolite.read_dict(doc, "r"), arbolite.read_string(doc, "r").to_dict()):
        assert [(c["attrs"], c["text"] or "") for c in d["children"]] == [(a, t or "") for a, t in want]
    got = arbolite.parse_dict(doc)["r"]["e"]
    assert [({k[1:]: v for k, v in c.items() if k[0] == "@"}, c.get("#text", "")) for c in got] == \
        [(a, t or "") for a, t in want]
