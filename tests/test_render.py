"""The outline of str(node) and node.__to_string(spacing)."""

import pytest

from arbolite import Node


def to_string(node, *args, **kwargs):
    return getattr(node, "__to_string")(*args, **kwargs)


def lines(*pairs):
    """Joins (leading spaces, text) pairs with LF."""
    return "\n".join(" " * n + text for n, text in pairs)


def test_worked_example_width_0(outline_example):
    root = outline_example.root
    assert str(root) == outline_example.width0
    assert to_string(root) == outline_example.width0
    assert to_string(root, 0) == outline_example.width0
    assert to_string(root, None) == outline_example.width0
    assert to_string(root, spacing=None) == outline_example.width0
    assert to_string(root, spacing=0) == outline_example.width0


def test_worked_example_width_3(outline_example):
    assert to_string(outline_example.root, 3) == outline_example.width3
    assert to_string(outline_example.root, spacing=3) == outline_example.width3


def test_child_outline_does_not_depend_on_its_parent(outline_example):
    b = outline_example.root.children[1]
    assert str(b) == lines((0, "Name: b"), (0, "Attributes:"), (0, "k: v"), (0, "Children:"), (2, "Name: c"), (0, ""))


# Leaf nodes: no line break at the end unless there are children.
LEAVES = [
    (Node("a"), "Name: a"),
    (Node(""), "Name: "),
    (Node("a", text=""), "Name: a\nText: "),
    (Node("a", text="t"), "Name: a\nText: t"),
    (Node("a", {"k": ""}), "Name: a\nAttributes:\nk: "),
    (Node("a", {"": "v"}), "Name: a\nAttributes:\n: v"),
    (Node("a", {"y": "1", "x": "2"}, text="t"), "Name: a\nAttributes:\ny: 1\nx: 2\nText: t"),
    # Nothing is escaped: an LF in any field breaks the outline's lines.
    (Node("a\nb", {"k\n": "v\n"}, text="t\nu"), "Name: a\nb\nAttributes:\nk\n: v\n\nText: t\nu"),
    (Node("<&>", {"'q'": '"v"'}, text="]]>"), "Name: <&>\nAttributes:\n'q': \"v\"\nText: ]]>"),
    (Node("a\x00b", {"é": "😀"}, text="\t"), "Name: a\x00b\nAttributes:\né: 😀\nText: \t"),
]


@pytest.mark.parametrize("node, expected", LEAVES, ids=[repr(e) for _, e in LEAVES])
def test_leaf_outlines(node, expected):
    assert str(node) == expected
    assert to_string(node, 0) == expected


@pytest.mark.parametrize("spacing", [1, 4, 255])
def test_every_line_of_a_leaf_carries_its_width(spacing):
    node = Node("a", {"y": "1", "x": ""}, text="")
    expected = lines(
        (spacing, "Name: a"), (spacing, "Attributes:"), (spacing, "y: 1"), (spacing, "x: "), (spacing, "Text: ")
    )
    assert to_string(node, spacing) == expected


# A chain r -> c -> g rendered at the width given: a child's first line carries
# the parent's width plus its own, its other lines its own width alone, and
# widths grow by 2 modulo 256.
CHAIN_WIDTHS = [
    (0, [0, 0, 2, 2, 6]),
    (3, [3, 3, 8, 5, 12]),
    (252, [252, 252, 506, 254, 254]),  # g at 254 + 0
    (253, [253, 253, 508, 255, 256]),  # g at 255 + 1
    (254, [254, 254, 254, 0, 2]),  # c wraps to 0
    (255, [255, 255, 256, 1, 4]),  # c wraps to 1
]


@pytest.mark.parametrize("spacing, widths", CHAIN_WIDTHS)
def test_widths_along_a_chain(spacing, widths):
    root = Node("r", children=[Node("c", children=[Node("g")])])
    texts = ["Name: r", "Children:", "Name: c", "Children:", "Name: g"]
    expected = lines(*zip(widths, texts), (0, ""), (0, ""))
    assert to_string(root, spacing) == expected


def test_width_1_for_children_of_255_shows_in_all_their_lines():
    root = Node("r", children=[Node("c", {"k": "v"}, text="t")])
    expected = lines(
        (255, "Name: r"),
        (255, "Children:"),
        (256, "Name: c"),
        (1, "Attributes:"),
        (1, "k: v"),
        (1, "Text: t"),
        (0, ""),
    )
    assert to_string(root, 255) == expected


def test_siblings_are_separated_by_one_empty_line():
    root = Node("r", children=[Node("a"), Node("b", text="t"), Node("c")])
    expected = lines(
        (0, "Name: r"), (0, "Children:"), (2, "Name: a"), (0, ""), (2, "Name: b"), (2, "Text: t"), (0, ""), (2, "Name: c"), (0, "")
    )
    assert str(root) == expected


def test_shared_child_rendered_once_per_occurrence():
    c = Node("c", text="t")
    root = Node("r", children=[c, c])
    expected = lines((0, "Name: r"), (0, "Children:"), (2, "Name: c"), (2, "Text: t"), (0, ""), (2, "Name: c"), (2, "Text: t"), (0, ""))
    assert str(root) == expected


def test_empty_text_line_keeps_its_trailing_space():
    root = Node("r", text="", children=[Node("c", text="")])
    assert str(root) == "Name: r\nText: \nChildren:\n  Name: c\n  Text: \n"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("spacing, width", [(True, 1), (False, 0), (Index(2), 2), (Index(255), 255)])
def test_spacing_accepts_integer_like_values(spacing, width):
    node = Node("a", text="t")
    assert to_string(node, spacing) == lines((width, "Name: a"), (width, "Text: t"))


@pytest.mark.parametrize(
    "spacing, exc_type",
    [(256, OverflowError), (-1, OverflowError), (Index(256), OverflowError), (2**63, OverflowError), (1.0, TypeError), ("2", TypeError)],
)
def test_spacing_out_of_bounds(spacing, exc_type):
    with pytest.raises(exc_type) as info:
        to_string(Node("a"), spacing)
    if exc_type is OverflowError and spacing != 2**63:
        assert str(info.value) == "out of range integral type conversion attempted"
    assert info.value.__notes__ == ["while processing 'spacing'"]


def test_outline_of_a_million_node_chain(run_python, chain_setup):
    result = run_python(
        chain_setup,
        """
        s = str(root)
        assert s.startswith("Name: n\\nChildren:\\n  Name: n\\n  Children:\\n      Name: n\\n"), s[:80]
        # The innermost node at its wrapped width, then one LF per enclosing
        # node closing its block.
        pad = " " * ((2 * (DEPTH - 1)) % 256)
        tail = "Name: n\\n" + pad + "Attributes:\\n" + pad + "k: v\\n" + pad + "Text: t" + "\\n" * (DEPTH - 1)
        assert s.endswith(tail), repr(s[-300:])
        assert s.count("Name: n") == DEPTH
        assert getattr(root, "__to_string")(5).count("Name: n") == DEPTH
        print("rendered")
        """,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "rendered\n"
