"""Pickling and copying: every protocol gives the exact tree back (names,
attribute order, absent versus empty text, shared and repeated children as
one object), a million levels or a million nodes take no recursion, a
pickle crosses processes, and damaged data is refused without a crash."""

import base64
import copy
import pickle
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import arbolite
from arbolite import Node, SearchType
from conftest import examples

PROTOCOLS = list(range(pickle.HIGHEST_PROTOCOL + 1))


def places(root):
    """The tree, one entry per place in pre-order: the node's fields and, for
    each child, the number of the place where that child first appeared.
    Iterative, so it takes any depth; equal for two trees exactly when they
    have the same content and the same sharing."""
    first = {}
    out = []
    stack = [root]
    while stack:
        node = stack.pop()
        if id(node) in first:
            out.append(("again", first[id(node)]))
            continue
        first[id(node)] = len(out)
        out.append((node.name, list(node.attrs.items()), node.text, len(node.children)))
        stack.extend(reversed(node.children))
    return out


def nodes_of(root):
    seen, stack = {}, [root]
    while stack:
        n = stack.pop()
        if id(n) not in seen:
            seen[id(n)] = n
            stack.extend(n.children)
    return seen


def round_trip(node, protocol):
    return pickle.loads(pickle.dumps(node, protocol=protocol))


# Any str a node can hold: every code point but the surrogates.
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=6)


@st.composite
def shared_trees(draw, names=texts, texts=texts):
    """A tree built bottom-up from a pool, each node's children drawn from the
    nodes made before it: children shared between parents and repeated in one
    list, attribute lists past the indexed length, empty and absent texts."""
    pool = []
    for _ in range(draw(st.integers(1, 20))):
        children = draw(st.lists(st.sampled_from(pool), max_size=4)) if pool else []
        attrs = draw(st.dictionaries(names, texts, max_size=12))
        pool.append(Node(draw(names), attrs, children, draw(st.none() | texts)))
    return pool[-1]


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(shared_trees(), st.sampled_from(PROTOCOLS))
def test_random_trees_round_trip_exactly(tree, protocol):
    back = round_trip(tree, protocol)
    assert type(back) is Node
    assert places(back) == places(tree)
    # A new tree: no node of the original is reused.
    assert not nodes_of(back).keys() & nodes_of(tree).keys()
    assert arbolite.write_string(back) == arbolite.write_string(tree)


xml_names = st.text("abcxyz_", min_size=1, max_size=4)


@settings(max_examples=examples(50), deadline=None)
@given(shared_trees(names=xml_names, texts=st.text(st.characters(min_codepoint=32, exclude_categories=("Cs",)))))
def test_parsed_trees_round_trip(tree):
    # Parsed nodes lie in slabs, their children linked as siblings.
    parsed = arbolite.read_string(arbolite.write_string(tree), tree.name)
    assert places(round_trip(parsed, pickle.HIGHEST_PROTOCOL)) == places(parsed)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_sharing_repeats_and_order_survive(protocol):
    leaf = Node("leaf", {"z": "1", "a": "", "m": "é"}, text="")
    mid = Node("mid", children=[leaf, leaf])
    root = Node("root", {f"k{i}": str(i) for i in range(20, 0, -1)}, [mid, Node("o", children=[mid, leaf]), mid])
    back = round_trip(root, protocol)
    m, o, m2 = back.children
    assert m is m2 and o.children[0] is m
    assert m.children[0] is m.children[1] is o.children[1]
    assert list(m.children[0].attrs) == ["z", "a", "m"] and m.children[0].text == ""
    assert back.text is None
    assert list(back.attrs) == [f"k{i}" for i in range(20, 0, -1)]
    # A long attribute list is indexed again: lookups find every key.
    assert back.search_by_attr("k7") == [back] and back.search_by_attr("k0") == []


def test_copies_are_the_node_itself():
    tree = Node("r", children=[Node("c")])
    assert copy.copy(tree) is tree
    assert copy.deepcopy(tree) is tree
    both = copy.deepcopy([tree, tree.children[0]])
    assert both[0] is tree and both[1] is tree.children[0]


def test_pickle_keeps_identity_within_one_pickle():
    tree = Node("r", children=[Node("c")])
    a, b = pickle.loads(pickle.dumps([tree, tree]))
    assert a is b and places(a) == places(tree)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("member", ["Tag", "Attr", "Text"])
def test_search_type_members_stay_themselves(member, protocol):
    m = getattr(SearchType, member)
    assert pickle.loads(pickle.dumps(m, protocol=protocol)) is m
    assert copy.copy(m) is m and copy.deepcopy(m) is m


def test_pickles_load_after_a_reimport():
    tree = Node("r", {"k": "v"})
    data = pickle.dumps(tree)
    old = sys.modules.pop("arbolite")
    try:
        import arbolite as new

        assert new is not old
        # Pickled after the re-import, an old node goes through the module now
        # imported, and loads as one of its nodes.
        again = pickle.loads(pickle.dumps(tree))
        assert type(again) is new.Node and type(pickle.loads(data)) is new.Node
        assert places(again) == places(pickle.loads(data)) == places(tree)
    finally:
        sys.modules["arbolite"] = old


def test_a_pickle_from_another_process_loads(run_python):
    result = run_python(
        """
        import base64, pickle, arbolite
        shared = arbolite.Node("s", {"k": "v"}, text="")
        tree = arbolite.Node("r", children=[shared, arbolite.Node("m", children=[shared]), shared])
        print(base64.b64encode(pickle.dumps(tree)).decode())
        """
    )
    assert result.returncode == 0, result.stderr
    back = pickle.loads(base64.b64decode(result.stdout))
    assert back.children[0] is back.children[1].children[0] is back.children[2]
    assert places(back.children[0]) == [("s", [("k", "v")], "", 0)]


# ------------------------------------------------------------------ refusals


def blob_of(node):
    restore, (data,) = node.__reduce__()
    assert restore is arbolite._restore_node
    return data


SAMPLE = Node("r", {"k": "v", "é": "ü"}, [Node("c", text="t")] * 2 + [Node("d", {str(i): "" for i in range(10)})])


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "invalid node data at byte 0: not arbolite node data"),
        (b"\x80\x04K\x01.", "invalid node data at byte 0: not arbolite node data"),
        (b"ARBT\x09" + bytes(8), "invalid node data at byte 4: format version 9 is not one this version reads"),
        (blob_of(SAMPLE)[:-1], None),
        (blob_of(SAMPLE) + b"\x00", None),
    ],
)
def test_damaged_data_is_a_value_error(data, message):
    with pytest.raises(ValueError) as info:
        arbolite._restore_node(data)
    if message:
        assert str(info.value) == message


def test_data_must_be_bytes():
    with pytest.raises(TypeError) as info:
        arbolite._restore_node(bytearray(blob_of(SAMPLE)))
    assert str(info.value) == "'bytearray' object is not an instance of 'bytes'"
    assert info.value.__notes__ == ["while processing 'data'"]


def test_a_tampered_pickle_is_refused():
    data = pickle.dumps(SAMPLE, protocol=4)
    blob = blob_of(SAMPLE)
    tampered = data.replace(blob, blob[:20] + b"\x05" + blob[21:])
    assert tampered != data
    with pytest.raises(ValueError, match="invalid node data"):
        pickle.loads(tampered)


@settings(max_examples=examples(300), deadline=None)
@given(st.data())
def test_any_change_to_the_data_is_refused_or_reads_a_whole_tree(data):
    blob = bytearray(blob_of(SAMPLE))
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(blob) - 1))
        op = data.draw(st.sampled_from(["set", "insert", "delete"]))
        if op == "delete":
            del blob[at]
        else:
            byte = data.draw(st.integers(0, 255))
            blob[at:at + (op == "set")] = bytes([byte])
    try:
        back = arbolite._restore_node(bytes(blob))
    except ValueError:
        return
    # Whatever it spells holds together: every operation can walk it.
    arbolite.write_string(back)
    Node.from_dict(back.to_dict())
    str(back)


# ------------------------------------------------------------------ big trees

BIG_CHECKS = """
import copy, pickle
from arbolite import Node

def walk(root):
    count, node = 0, root
    while True:
        count += 1
        if not node.children:
            return count, node
        assert len(node.children) == 1 and node.name == "n" and node.text is None
        node = node.children[0]
"""


def test_a_million_levels(run_python, chain_setup):
    result = run_python(
        chain_setup,
        BIG_CHECKS,
        """
        blob = root.__reduce__()[1][0]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(root, protocol=protocol))
            assert back is not root and back.__reduce__()[1][0] == blob, protocol
        count, last = walk(back)
        assert count == DEPTH and last.attrs == {"k": "v"} and last.text == "t"
        assert copy.deepcopy(root) is root and copy.copy(root) is root
        del back
        print("ok")
        """,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["ok"]


def test_a_million_nodes(run_python):
    result = run_python(
        BIG_CHECKS,
        """
        import arbolite
        shared = Node("shared", {"k": "v"}, text="")
        rows = [Node("row", {"i": str(i)}, [Node("c", text=str(j)) for j in range(999)] + [shared])
                for i in range(1000)]
        root = Node("table", children=rows)
        for protocol in (0, pickle.HIGHEST_PROTOCOL):
            back = pickle.loads(pickle.dumps(root, protocol=protocol))
            assert arbolite.write_string(back) == arbolite.write_string(root)
            assert len({id(r.children[-1]) for r in back.children}) == 1
            assert back.children[0].children[-1] is not shared
        print(len(back.search_by_name("c")))
        """,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["999000"]
