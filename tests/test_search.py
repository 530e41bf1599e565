"""Node.search and search_by_name / search_by_attr / search_by_text."""

import sys

import pytest

from arbolite import Node, SearchType

RULES = {"search_by_name": SearchType.Tag, "search_by_attr": SearchType.Attr, "search_by_text": SearchType.Text}


def names_of(tree, found):
    """Maps result nodes back to the fixture's names, by identity."""
    by_id = {id(node): key for key, node in vars(tree).items()}
    return [by_id.get(id(node), f"<foreign {node!r}>") for node in found]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# (receiver, method, value, depth, expected fixture nodes in order). The
# fixture's pre-order is root, a1, b1, c, b2; levels 0, 1, 2, 3, 1.
DEPTH_CASES = [
    ("root", "search_by_name", "root", 0, ["root"]),
    ("root", "search_by_name", "root", None, ["root"]),
    ("root", "search_by_name", "a", 0, []),
    ("root", "search_by_name", "b", 0, []),
    ("root", "search_by_name", "b", 1, ["b2"]),
    # Depth first: the grandchild under the first child precedes the later child.
    ("root", "search_by_name", "b", 2, ["b1", "b2"]),
    ("root", "search_by_name", "b", None, ["b1", "b2"]),
    ("root", "search_by_name", "b", -1, ["b1", "b2"]),
    ("root", "search_by_name", "b", -(2**31), ["b1", "b2"]),
    ("root", "search_by_name", "b", 2**31 - 1, ["b1", "b2"]),
    ("root", "search_by_name", "b", True, ["b2"]),
    ("root", "search_by_name", "b", False, []),
    ("root", "search_by_name", "b", Index(1), ["b2"]),
    ("root", "search_by_name", "c", 2, []),
    ("root", "search_by_name", "c", 3, ["c"]),
    ("root", "search_by_attr", "id", 0, ["root"]),
    ("root", "search_by_attr", "id", 2, ["root", "b1"]),
    ("root", "search_by_attr", "id", -7, ["root", "b1", "c"]),
    ("root", "search_by_text", "x", 1, []),
    ("root", "search_by_text", "x", 2, ["b1"]),
    # Depth counts from the receiver, not from the tree's top.
    ("a1", "search_by_name", "c", 1, []),
    ("a1", "search_by_name", "c", 2, ["c"]),
    ("a1", "search_by_name", "a", 0, ["a1"]),
    ("a1", "search_by_name", "b", None, ["b1"]),
    ("c", "search_by_name", "c", 0, ["c"]),
    ("c", "search_by_name", "c", 100, ["c"]),
]


@pytest.mark.parametrize("receiver, method, value, depth, expected", DEPTH_CASES)
def test_depth(tree, receiver, method, value, depth, expected):
    node = getattr(tree, receiver)
    found = getattr(node, method)(value, depth)
    assert type(found) is list
    assert names_of(tree, found) == expected
    # Keyword form and the general method agree.
    assert names_of(tree, getattr(node, method)(value, depth=depth)) == expected
    assert names_of(tree, node.search(RULES[method], value, depth)) == expected


def test_depth_omitted_equals_none_and_negative(tree):
    for method in RULES:
        search = getattr(tree.root, method)
        for value in ("b", "id", "x", ""):
            full = search(value)
            assert search(value, None) == full
            assert search(value, -1) == full


# (method, value, expected fixture nodes in order) over the whole tree.
MATCH_CASES = [
    # Name rule: exact, case-sensitive, whole string.
    ("search_by_name", "b", ["b1", "b2"]),
    ("search_by_name", "B", []),
    ("search_by_name", "ro", []),
    ("search_by_name", "roots", []),
    ("search_by_name", "root ", []),
    ("search_by_name", "", []),
    # Attribute rule: the key, whatever its value; never the values.
    ("search_by_attr", "id", ["root", "b1", "c"]),  # b1's id is ""
    ("search_by_attr", "class", ["a1"]),
    ("search_by_attr", "lang", ["c"]),
    ("search_by_attr", "ID", []),
    ("search_by_attr", "r", []),
    ("search_by_attr", "en", []),
    ("search_by_attr", "", []),
    ("search_by_attr", "i", []),
    # Text rule: present and equal; an absent text never matches.
    ("search_by_text", "", ["a1"]),
    ("search_by_text", "x", ["b1"]),
    ("search_by_text", "X", ["b2"]),
    ("search_by_text", " x", []),
    ("search_by_text", "dee", []),
    ("search_by_text", "deep", ["c"]),
]


@pytest.mark.parametrize("method, value, expected", MATCH_CASES)
def test_match_rules(tree, method, value, expected):
    assert names_of(tree, getattr(tree.root, method)(value)) == expected
    assert names_of(tree, tree.root.search(RULES[method], value)) == expected
    assert names_of(tree, tree.root.search(by=RULES[method], value=value, depth=None)) == expected


@pytest.mark.parametrize(
    "node, method, hits, misses",
    [
        # Lengths and bytes both count: embedded NUL, no prefix match.
        (Node("a\x00b"), "search_by_name", ["a\x00b"], ["a", "a\x00", "a\x00bc"]),
        # No normalisation: precomposed and decomposed forms differ.
        (Node("é"), "search_by_name", ["é"], ["e\u0301", "E", "É"]),
        (Node("ns:a"), "search_by_name", ["ns:a"], ["a", "ns"]),
        (Node("😀"), "search_by_name", ["😀"], ["\U0001f601"]),
        (Node("n", {"": "v"}), "search_by_attr", [""], ["v", " "]),
        (Node("n", {"k\x00": ""}), "search_by_attr", ["k\x00"], ["k"]),
        # A map past the size at which lookups stop scanning.
        (
            Node("n", {f"key{i}": str(i) for i in range(30)}),
            "search_by_attr",
            [f"key{i}" for i in range(30)],
            ["key30", "key", "0", "Key1"],
        ),
        (Node("n", text="t\x00"), "search_by_text", ["t\x00"], ["t", ""]),
        (Node("n", text=" t "), "search_by_text", [" t "], ["t", " t"]),
        (Node("n"), "search_by_text", [], ["", "None"]),
    ],
    ids=["nul-name", "normalisation", "prefix", "astral", "empty-key", "nul-key", "many-attrs", "nul-text", "spaces", "no-text"],
)
def test_exact_comparison(node, method, hits, misses):
    for value in hits:
        found = getattr(node, method)(value)
        assert len(found) == 1 and found[0] is node, value
    for value in misses:
        assert getattr(node, method)(value) == [], value


def test_results_are_the_tree_nodes(tree):
    found = tree.root.search_by_name("c")
    assert found[0] is tree.c
    assert found[0] is tree.root.children[0].children[0].children[0]
    again = tree.root.search_by_name("c")
    assert again is not found
    found.clear()
    assert tree.root.search_by_name("c")[0] is tree.c


def test_shared_and_repeated_children_listed_per_occurrence():
    c = Node("c", {"k": ""}, text="t")
    p = Node("p", children=[c, c])
    root = Node("c", children=[p, c])
    for method, value in (("search_by_name", "c"), ("search_by_attr", "k"), ("search_by_text", "t")):
        found = getattr(root, method)(value)
        expected = [root, c, c, c] if method == "search_by_name" else [c, c, c]
        assert len(found) == len(expected)
        assert all(a is b for a, b in zip(found, expected))
    assert [n.name for n in root.search_by_name("p")] == ["p"]
    assert len(root.search_by_name("c", 1)) == 2


def test_searches_take_and_drop_references(tree):
    b1, root = tree.b1, tree.root
    del tree
    base = sys.getrefcount(b1)
    found = root.search_by_attr("id")
    assert sys.getrefcount(b1) == base + 1
    del found
    assert sys.getrefcount(b1) == base
    for _ in range(3):
        with pytest.raises(OverflowError):
            root.search_by_name("b", 2**31)
        assert root.search_by_name("zzz") == []
    assert sys.getrefcount(b1) == base


@pytest.mark.parametrize("method", sorted(RULES))
@pytest.mark.parametrize("value", ["b", "id", "x", "", "zzz"])
@pytest.mark.parametrize("depth", [None, 0, 1, 2, -1])
def test_search_equals_dedicated_method(tree, method, value, depth):
    dedicated = getattr(tree.root, method)(value, depth)
    general = tree.root.search(RULES[method], value, depth)
    assert len(general) == len(dedicated)
    assert all(a is b for a, b in zip(general, dedicated))


@pytest.mark.parametrize(
    "call, exc_type, message, parameter",
    [
        (lambda n: n.search_by_name("b", 1.0), TypeError, None, "depth"),
        (lambda n: n.search_by_attr("id", depth=2.5), TypeError, None, "depth"),
        (lambda n: n.search_by_text("x", "1"), TypeError, None, "depth"),
        (lambda n: n.search(SearchType.Tag, "b", [1]), TypeError, None, "depth"),
        (lambda n: n.search_by_name("b", 2**31), OverflowError, "out of range integral type conversion attempted", "depth"),
        (lambda n: n.search_by_name("b", -(2**31) - 1), OverflowError, "out of range integral type conversion attempted", "depth"),
        (lambda n: n.search_by_text("x", Index(2**40)), OverflowError, "out of range integral type conversion attempted", "depth"),
        (lambda n: n.search("Tag", "b"), TypeError, "'str' object is not an instance of 'SearchType'", "by"),
        (lambda n: n.search(by="Attr", value="id"), TypeError, "'str' object is not an instance of 'SearchType'", "by"),
        (lambda n: n.search(1, "id"), TypeError, "'int' object is not an instance of 'SearchType'", "by"),
        (lambda n: n.search(SearchType, "id"), TypeError, "'type' object is not an instance of 'SearchType'", "by"),
        (lambda n: n.search(SearchType.Tag, 1), TypeError, "'int' object is not an instance of 'str'", "value"),
        (lambda n: n.search_by_name(None), TypeError, "'None' is not an instance of 'str'", "name"),
        (lambda n: n.search_by_attr(1), TypeError, "'int' object is not an instance of 'str'", "key"),
        (lambda n: n.search_by_text(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "text"),
        (lambda n: n.search_by_name("\udc80"), UnicodeEncodeError, None, "name"),
    ],
)
def test_argument_errors(tree, call, exc_type, message, parameter):
    with pytest.raises(exc_type) as info:
        call(tree.root)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


CHAIN_SEARCHES = [
    ("root.search_by_name('n')", "DEPTH"),
    ("root.search(SearchType.Tag, 'n')", "DEPTH"),
    ("root.search_by_attr('k')", "1"),
    ("root.search(SearchType.Attr, 'k')", "1"),
    ("root.search_by_text('t')", "1"),
    ("root.search(SearchType.Text, 't')", "1"),
    ("root.search_by_name('n', 10)", "11"),
    ("root.search_by_text('t', DEPTH - 2)", "0"),
    ("root.search_by_text('t', DEPTH - 1)", "1"),
]


def test_search_on_a_million_node_chain(run_python, chain_setup):
    # One chain for every call: building it is most of the cost.
    checks = "".join(
        f"""
        found = {call}
        assert len(found) == {expected}, ({call!r}, len(found))
        if found:
            assert found[0] is root or found[0] is leaf
        if len(found) == 1:
            assert found[0] is leaf
        if len(found) == DEPTH:
            assert found[-1] is leaf
        print("searched")
        """
        for call, expected in CHAIN_SEARCHES
    )
    result = run_python(chain_setup, checks)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "searched\n" * len(CHAIN_SEARCHES)
