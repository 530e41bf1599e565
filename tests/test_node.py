"""Node construction, properties, immutability, sharing and release, repr, and
the SearchType members."""

import collections
import gc
import operator
import sys

import pytest

import arbolite
from arbolite import Node, SearchType


def content(node):
    return (node.name, node.attrs, node.children, node.text)


class Text(str):
    pass


class Attrs(dict):
    pass


class Kids(list):
    pass


class SizedSequence:
    """A sequence that is not a list or tuple: iterated through __getitem__."""

    def __init__(self, items, size_error=False):
        self.items = items
        self.size_error = size_error

    def __len__(self):
        if self.size_error:
            raise RuntimeError("no size")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


LEAF = Node("leaf")
OTHER = Node("other")

# (constructor args, constructor kwargs, expected (name, attrs, children, text))
CONSTRUCTED = [
    (("a",), {}, ("a", {}, [], None)),
    (("a",), {"text": ""}, ("a", {}, [], "")),
    (("",), {}, ("", {}, [], None)),
    ((), {"name": "a", "text": "x"}, ("a", {}, [], "x")),
    (("a", None, None, "x"), {}, ("a", {}, [], "x")),
    (("a", None, None, None), {}, ("a", {}, [], None)),
    (("a", {}, [], None), {}, ("a", {}, [], None)),
    ((), {"text": "x", "children": [LEAF], "attrs": {"k": "v"}, "name": "a"}, ("a", {"k": "v"}, [LEAF], "x")),
    (("a", {"k": ""}, (LEAF, OTHER)), {}, ("a", {"k": ""}, [LEAF, OTHER], None)),
    (("a",), {"children": Kids([OTHER])}, ("a", {}, [OTHER], None)),
    (("a",), {"children": SizedSequence([LEAF, OTHER])}, ("a", {}, [LEAF, OTHER], None)),
    # A size that cannot be taken is only a hint: the items still come through.
    (("a",), {"children": SizedSequence([OTHER], size_error=True)}, ("a", {}, [OTHER], None)),
    (("a",), {"children": collections.deque([LEAF])}, ("a", {}, [LEAF], None)),
    ((Text("a"),), {"attrs": Attrs({Text("k"): Text("v")}), "text": Text("t")}, ("a", {"k": "v"}, [], "t")),
    (("a",), {"attrs": collections.OrderedDict(k="v")}, ("a", {"k": "v"}, [], None)),
    # Any string is taken as it is: XML rules are not applied.
    (("1 <&>", {"": "", " ": "\t\n"}, None, "]]>"), {}, ("1 <&>", {"": "", " ": "\t\n"}, [], "]]>")),
    (("a\x00b", {"k\x00": "\x00v"}, None, "t\x00"), {}, ("a\x00b", {"k\x00": "\x00v"}, [], "t\x00")),
    (("é😀", {"ключ": "值"}, None, "\U0010ffff"), {}, ("é😀", {"ключ": "值"}, [], "\U0010ffff")),
]


@pytest.mark.parametrize("args, kwargs, expected", CONSTRUCTED)
def test_constructor(args, kwargs, expected):
    node = Node(*args, **kwargs)
    name, attrs, children, text = content(node)
    assert (name, attrs, text) == (expected[0], expected[1], expected[3])
    assert len(children) == len(expected[2])
    assert all(got is want for got, want in zip(children, expected[2]))
    # Properties hand out exact built-in types, whatever was given.
    assert type(name) is str and type(attrs) is dict and type(children) is list
    assert text is None or type(text) is str
    assert all(type(k) is str and type(v) is str for k, v in attrs.items())


@pytest.mark.parametrize(
    "given",
    [
        {"y": "1", "x": "2"},
        {"b": "", "a": "", "c": ""},
        # Past the size at which lookups stop scanning.
        {f"k{i}": str(i) for i in (13, 2, 7, 0, 19, 5, 11, 1, 17, 3, 8, 14, 6, 9, 18, 4, 12, 10, 16, 15)},
        {chr(0x4E00 + i): "v" * i for i in range(40, 0, -1)},
    ],
    ids=["two", "three", "twenty", "forty"],
)
def test_attrs_keep_given_order(given):
    node = Node("a", given)
    assert list(node.attrs.items()) == list(given.items())


def test_attr_keys_stay_unique():
    class Distinct(str):
        """Equal text to a plain key but a different dict key."""

        def __eq__(self, other):
            return self is other

        def __hash__(self):
            return 12345

    given = {"a": "1", Distinct("a"): "2", "b": "3"}
    assert len(given) == 3
    node = Node("n", given)
    attrs = node.attrs
    assert list(attrs) == ["a", "b"]
    # The later pair replaces the value of the earlier key in place.
    assert attrs == {"a": "2", "b": "3"}
    assert str(node) == "Name: n\nAttributes:\na: 2\nb: 3"


def test_getters_build_new_objects_each_time():
    child = Node("c")
    node = Node("n", {"k": "v"}, [child], "t")
    assert node.attrs is not node.attrs
    assert node.children is not node.children
    assert node.children[0] is node.children[0] is child

    attrs = node.attrs
    attrs["k"] = "changed"
    attrs["new"] = "v"
    children = node.children
    children.append(Node("x"))
    children[0] = Node("y")
    assert node.attrs == {"k": "v"}
    assert len(node.children) == 1 and node.children[0] is child


def test_constructor_copies_its_arguments():
    attrs = {"k": "v"}
    kids = [Node("c")]
    first = kids[0]
    node = Node("n", attrs, kids)
    attrs["k"] = "changed"
    attrs["new"] = "x"
    kids.append(Node("d"))
    kids[0] = Node("e")
    assert node.attrs == {"k": "v"}
    assert len(node.children) == 1 and node.children[0] is first


@pytest.mark.parametrize("prop", ["name", "attrs", "children", "text"])
def test_properties_are_read_only(prop):
    node = Node("a", {"k": "v"}, [Node("c")], "t")
    before = getattr(node, prop)
    with pytest.raises(AttributeError):
        setattr(node, prop, before)
    with pytest.raises(AttributeError):
        delattr(node, prop)
    assert getattr(node, prop) == before


def test_no_other_attributes_can_be_set():
    node = Node("a")
    with pytest.raises(AttributeError):
        node.extra = 1
    with pytest.raises(AttributeError):
        node.__dict__
    with pytest.raises(AttributeError):
        SearchType.Tag.extra = 1


def test_equality_and_hash_are_by_identity():
    a, b = Node("a"), Node("a")
    assert a == a and a != b
    assert {a: 1, b: 2}[a] == 1
    assert hash(a) == hash(a)
    assert len({a, b, a}) == 2


def test_nodes_are_not_tracked_by_the_cycle_collector():
    assert not gc.is_tracked(Node("a", children=[Node("b")]))


def test_shared_and_repeated_children_are_references():
    c = Node("c")
    first = Node("p", children=[c, c])
    second = Node("q", children=[c, first])
    assert first.children[0] is first.children[1] is c
    assert second.children[0] is c and second.children[1].children[0] is c


def test_each_occurrence_holds_one_reference():
    c = Node("c")
    base = sys.getrefcount(c)
    parent = Node("p", children=[c, c, c])
    assert sys.getrefcount(c) == base + 3
    other = Node("q", children=(c,))
    assert sys.getrefcount(c) == base + 4
    del parent
    assert sys.getrefcount(c) == base + 1
    del other
    assert sys.getrefcount(c) == base


@pytest.mark.parametrize(
    "make_kwargs, exc_type",
    [
        (lambda c: {"name": "p", "children": [c, c, 1]}, TypeError),
        (lambda c: {"name": "p", "children": [c, c], "text": 1}, TypeError),
        (lambda c: {"name": "p", "children": [c, c], "text": "\udc80"}, UnicodeEncodeError),
        (lambda c: {"name": 1, "children": [c, c]}, TypeError),
    ],
    ids=["bad-child-after-good", "bad-text", "unencodable-text", "bad-name"],
)
def test_failed_construction_releases_children(make_kwargs, exc_type):
    c = Node("c")
    base = sys.getrefcount(c)
    kwargs = make_kwargs(c)
    with_list = sys.getrefcount(c)
    with pytest.raises(exc_type):
        Node(**kwargs)
    assert sys.getrefcount(c) == with_list
    del kwargs
    assert sys.getrefcount(c) == base


def test_children_outlive_their_parents():
    parent = Node("p", children=[Node("c", {"k": "v"}, [Node("g")], "t")])
    child = parent.children[0]
    del parent
    gc.collect()
    assert (child.name, child.attrs, child.text) == ("c", {"k": "v"}, "t")
    assert [g.name for g in child.children] == ["g"]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("item", "Node(item)"),
        ("", "Node()"),
        ("x y", "Node(x y)"),
        ("'q'", "Node('q')"),
        ("a\nb", "Node(a\nb)"),
        ("é😀", "Node(é😀)"),
        ("a\x00b", "Node(a\x00b)"),
    ],
)
def test_repr_shows_the_name_only(name, expected):
    assert repr(Node(name)) == expected
    assert repr(Node(name, {"k": "v"}, [Node("c")], "t")) == expected


def test_release_of_a_million_node_chain(run_python, chain_setup):
    result = run_python(
        chain_setup,
        """
        mid = root
        for _ in range(DEPTH // 2):
            mid = mid.children[0]
        # Every live node holds a reference to its class.
        live = lambda: sys.getrefcount(Node)
        before = live()
        del root
        # Every node above `mid` is gone; `mid` and its subtree are intact.
        assert before - live() == DEPTH // 2, before - live()
        assert len(mid.search_by_name("n")) == DEPTH - DEPTH // 2
        assert mid.search_by_text("t")[0] is leaf
        before = live()
        del mid
        assert before - live() == DEPTH // 2 - 1  # `leaf` is still named
        assert leaf.text == "t" and leaf.children == []
        print("released")
        """,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "released\n"


def test_release_of_a_million_node_chain_held_in_a_list(run_python, chain_setup):
    result = run_python(
        chain_setup,
        """
        holder = [root, root]
        live = lambda: sys.getrefcount(Node)  # one reference per live node
        before = live()
        del root
        holder.clear()
        assert before - live() == DEPTH - 1, before - live()  # `leaf` is still named
        print("released")
        """,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "released\n"


# ---- SearchType ------------------------------------------------------------

MEMBERS = [("Tag", 0), ("Attr", 1), ("Text", 2)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_search_type_members(name, value):
    member = getattr(SearchType, name)
    assert member is getattr(SearchType, name)
    assert type(member) is SearchType
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == f"SearchType.{name}"
    assert str(member) == f"SearchType.{name}"
    assert member == value and not (member != value)
    assert member == member and member == getattr(SearchType, name)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (SearchType.Text, 2, True),
        (SearchType.Text, 1, False),
        (SearchType.Tag, SearchType.Attr, False),
        (SearchType.Attr, SearchType.Text, False),
        (SearchType.Tag, False, True),
        (SearchType.Attr, True, True),
        (SearchType.Tag, -256, False),
        (SearchType.Attr, 257, False),
        (SearchType.Tag, 2**32, False),
        (SearchType.Tag, 2**64, False),
        (SearchType.Attr, Index(1), True),
        (SearchType.Attr, Index(2), False),
        (SearchType.Tag, "Tag", False),
        (SearchType.Tag, "0", False),
        (SearchType.Tag, 0.0, False),
        (SearchType.Tag, None, False),
        (SearchType.Tag, Node("Tag"), False),
        (1, SearchType.Attr, True),
        (0, SearchType.Attr, False),
    ],
)
def test_search_type_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [SearchType.Attr, 1])
def test_search_type_has_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(SearchType.Tag, other)


@pytest.mark.parametrize("name", [m for m, _ in MEMBERS])
def test_search_type_is_unhashable(name):
    member = getattr(SearchType, name)
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member: 1}
    with pytest.raises(TypeError):
        {member}


# Names and keys of 2 to 32 bytes may be given as one shared str; the
# lengths around that window, non-ASCII text and NULs must still come back
# exactly, also after many other names have taken the table's places.
_NAME_CASES = ["a", "ab", "x" * 15, "y" * 16, "z" * 17, "p:" + "q" * 29, "r" * 32, "s" * 33,
               "\u00e9t\u00e9", "\U0001f600" * 8, "\U0001f600" * 9, "a\x00", "a\x00\x00", "\x00" * 32]


@pytest.mark.parametrize("name", _NAME_CASES)
def test_names_and_keys_come_back_exactly(name):
    for _ in range(2):
        node = Node(name, {name: "v", name + "\x00": "w"})
        assert node.name == name
        assert list(node.attrs) == [name, name + "\x00"]
        parsed_ok = "\x00" not in name and not name[0].isdigit()
        if parsed_ok:
            tree = arbolite.read_string(f"<{name} {name}='1'/>", name)
            assert (tree.name, list(tree.attrs)) == (name, [name])
    many = [Node(f"n{i}", {f"k{i}": ""}) for i in range(5000)]
    assert [(m.name, list(m.attrs)) for m in many] == [(f"n{i}", [f"k{i}"]) for i in range(5000)]
    assert Node(name).name == name
