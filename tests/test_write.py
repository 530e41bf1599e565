"""write_string and write_file: layout, escapes, the declaration, attribute
order, argument errors, indents too large to write, file errors and the
buffered file output."""

import json
import os
import pathlib
import xml.etree.ElementTree as ET

import pytest

import arbolite
from arbolite import Node
from conftest import CORPUS_FILES, written_root

DECL = '<?xml version="1.0" encoding="utf-8"?>\n'


def worked_example():
    return Node(
        "root",
        {"id": "1"},
        [
            Node("item", {"k": "a<b"}, text="x & y"),
            Node("empty"),
            Node("parent", children=[Node("leaf")]),
        ],
    )


def text_and_two_children():
    return Node("r", children=[Node("a"), Node("b")], text="hello")


def two_levels():
    return Node("r", children=[Node("a", children=[Node("b")])])


def shared_child_twice():
    c = Node("c", {"x": "1"}, text="t")
    return Node("r", children=[c, c])


@pytest.fixture(params=["string", "file"])
def sink(request, tmp_path):
    """Writes with write_string, or with write_file and reads the bytes back;
    either way returns the text."""
    if request.param == "string":
        return arbolite.write_string

    def via_file(node, *args, **kwargs):
        path = tmp_path / "out.xml"
        assert arbolite.write_file(node, str(path), *args, **kwargs) is None
        return path.read_bytes().decode("utf-8")

    return via_file


# (tree builder, positional arguments after the node (and path), keyword
# arguments, the exact output)
LAYOUT = [
    pytest.param(
        worked_example,
        (2,),
        {},
        DECL
        + '<root id="1">\n  <item k="a&lt;b">x &amp; y</item>\n  <empty/>\n  <parent>\n    <leaf/>\n  </parent>\n</root>',
        id="worked-example-indent-2-declaration",
    ),
    pytest.param(
        worked_example,
        (),
        {"indent": 2, "default_xml_def": False},
        '<root id="1">\n  <item k="a&lt;b">x &amp; y</item>\n  <empty/>\n  <parent>\n    <leaf/>\n  </parent>\n</root>',
        id="worked-example-no-declaration",
    ),
    pytest.param(
        worked_example,
        (0, False),
        {},
        '<root id="1">\n<item k="a&lt;b">x &amp; y</item>\n<empty/>\n<parent>\n<leaf/>\n</parent>\n</root>',
        id="worked-example-indent-0",
    ),
    pytest.param(
        text_and_two_children,
        (4, False),
        {},
        "<r>hello<a/>\n    <b/>\n</r>",
        id="text-then-children-worked-example",
    ),
    pytest.param(
        lambda: Node("r", children=[Node("m", children=[Node("x"), Node("y")], text="t")]),
        (2, False),
        {},
        "<r>\n  <m>t<x/>\n    <y/>\n  </m>\n</r>",
        id="text-then-children-nested",
    ),
    pytest.param(
        lambda: Node("r", children=[Node("a", text="one"), Node("b", text="two")]),
        (3, False),
        {},
        "<r>\n   <a>one</a>\n   <b>two</b>\n</r>",
        id="text-only-children-one-line-each",
    ),
    # Defaults: declaration and 4 spaces per level; None is the same as omitted.
    pytest.param(two_levels, (), {}, DECL + "<r>\n    <a>\n        <b/>\n    </a>\n</r>", id="defaults"),
    pytest.param(
        two_levels,
        (),
        {"indent": None, "default_xml_def": None},
        DECL + "<r>\n    <a>\n        <b/>\n    </a>\n</r>",
        id="none-keywords-are-defaults",
    ),
    pytest.param(
        two_levels, (None, None), {}, DECL + "<r>\n    <a>\n        <b/>\n    </a>\n</r>", id="none-positional-are-defaults"
    ),
    pytest.param(two_levels, (2, False), {}, "<r>\n  <a>\n    <b/>\n  </a>\n</r>", id="indent-2-positional"),
    pytest.param(two_levels, (2, False), {"pretty": True}, "<r>\n  <a>\n    <b/>\n  </a>\n</r>", id="pretty-is-the-default"),
    pytest.param(two_levels, (), {"indent": True, "default_xml_def": False}, "<r>\n <a>\n  <b/>\n </a>\n</r>", id="indent-true-is-1"),
    pytest.param(two_levels, (0, False), {}, "<r>\n<a>\n<b/>\n</a>\n</r>", id="indent-0-still-breaks-lines"),
    pytest.param(
        two_levels,
        (5000, False),
        {},
        "<r>\n" + " " * 5000 + "<a>\n" + " " * 10000 + "<b/>\n" + " " * 5000 + "</a>\n</r>",
        id="indent-wider-than-4096",
    ),
    pytest.param(two_levels, (), {"default_xml_def": True}, DECL + "<r>\n    <a>\n        <b/>\n    </a>\n</r>", id="declaration-true"),
    # An absurd indent is fine for a tree that has no indented line.
    pytest.param(lambda: Node("r"), (2**64 - 1,), {}, DECL + "<r/>", id="max-indent-single-element"),
    pytest.param(
        lambda: Node("r", children=[Node("a")], text="x"),
        (2**64 - 1, False),
        {},
        "<r>x<a/>\n</r>",
        id="max-indent-only-level-0-break",
    ),
    # Self-closing and empty.
    pytest.param(lambda: Node("r"), (), {"default_xml_def": False}, "<r/>", id="self-closing-root"),
    pytest.param(lambda: Node("r"), (), {}, DECL + "<r/>", id="self-closing-root-declaration"),
    pytest.param(lambda: Node("a", text=""), (4, False), {}, "<a></a>", id="empty-text-not-self-closing"),
    pytest.param(
        lambda: Node("r", children=[Node("a", text=""), Node("b")]),
        (1, False),
        {},
        "<r>\n <a></a>\n <b/>\n</r>",
        id="empty-text-child",
    ),
    pytest.param(lambda: Node("r", {"a": ""}), (4, False), {}, '<r a=""/>', id="empty-attribute-value"),
    pytest.param(lambda: Node("", {"": ""}), (4, False), {}, '< =""/>', id="empty-name-and-key-unchanged"),
    # Attribute order is the given dict's order.
    pytest.param(
        lambda: Node("r", {"z": "1", "a": "2", "m": "3", "b": "4"}),
        (4, False),
        {},
        '<r z="1" a="2" m="3" b="4"/>',
        id="attributes-in-insertion-order",
    ),
    # Escapes in attribute values.
    pytest.param(lambda: Node("r", {"q": "'"}), (4, False), {}, '<r q="&apos;"/>', id="attr-apostrophe"),
    pytest.param(lambda: Node("r", {"q": "&"}), (4, False), {}, '<r q="&amp;"/>', id="attr-ampersand"),
    pytest.param(
        lambda: Node("r", {"q": 'a"b<c>d'}), (4, False), {}, '<r q="a&quot;b&lt;c&gt;d"/>', id="attr-quote-lt-gt"
    ),
    pytest.param(
        lambda: Node("r", {"q": "\t\r\n"}), (4, False), {}, '<r q="&#9;&#13;&#10;"/>', id="attr-tab-cr-lf-escaped"
    ),
    pytest.param(
        lambda: Node("r", {"q": "a\tb\rc\nd\r\n"}),
        (4, False),
        {},
        '<r q="a&#9;b&#13;c&#10;d&#13;&#10;"/>',
        id="attr-whitespace-between-runs",
    ),
    pytest.param(
        lambda: Node("r", {"q": "&&<<>>\"\"''"}),
        (4, False),
        {},
        '<r q="&amp;&amp;&lt;&lt;&gt;&gt;&quot;&quot;&apos;&apos;"/>',
        id="attr-adjacent-escapes",
    ),
    # Escapes in text.
    pytest.param(lambda: Node("t", text='say "hi"'), (4, False), {}, "<t>say &quot;hi&quot;</t>", id="text-quotes"),
    pytest.param(lambda: Node("t", text="it's"), (4, False), {}, "<t>it&apos;s</t>", id="text-apostrophe"),
    pytest.param(lambda: Node("t", text="<tag>"), (4, False), {}, "<t>&lt;tag&gt;</t>", id="text-tag"),
    pytest.param(lambda: Node("t", text="a]]>b"), (4, False), {}, "<t>a]]&gt;b</t>", id="text-cdata-end"),
    pytest.param(lambda: Node("t", text="&amp;"), (4, False), {}, "<t>&amp;amp;</t>", id="text-reference-escaped-again"),
    pytest.param(
        lambda: Node("t", text="a\tb\rc\nd\r\n"), (4, False), {}, "<t>a\tb\rc\nd\r\n</t>", id="text-tab-cr-lf-raw"
    ),
    pytest.param(
        lambda: Node("t", text="\x01\x0b\x1f\x7f\ufffe\uffff"),
        (4, False),
        {},
        "<t>\x01\x0b\x1f\x7f\ufffe\uffff</t>",
        id="other-characters-never-replaced",
    ),
    # Names and keys are written unchanged.
    pytest.param(
        lambda: Node('a&"<b', {"k&'\"<>": "v"}),
        (4, False),
        {},
        '<a&"<b k&\'"<>="v"/>',
        id="names-and-keys-unescaped",
    ),
    pytest.param(
        lambda: Node("x y", {"p:q": "1"}, text="t"), (4, False), {}, '<x y p:q="1">t</x y>', id="names-unvalidated"
    ),
    # Non-ASCII stays as UTF-8, never a character reference.
    pytest.param(
        lambda: Node("é", {"ключ": "значение"}, [Node("日本")], "😀 ü"),
        (2, False),
        {},
        '<é ключ="значение">😀 ü<日本/>\n</é>',
        id="non-ascii",
    ),
    pytest.param(shared_child_twice, (2, False), {}, '<r>\n  <c x="1">t</c>\n  <c x="1">t</c>\n</r>', id="shared-child-twice"),
]


@pytest.mark.parametrize("build, args, kwargs, expected", LAYOUT)
def test_layout(sink, build, args, kwargs, expected):
    assert sink(build(), *args, **kwargs) == expected


@pytest.mark.parametrize("indent", [None, 0, 3])
@pytest.mark.parametrize("build", [lambda: Node("r"), worked_example, text_and_two_children])
def test_declaration_is_a_39_byte_prefix(build, indent):
    tree = build()
    with_decl = arbolite.write_string(tree, indent, True).encode("utf-8")
    without = arbolite.write_string(tree, indent, False).encode("utf-8")
    assert with_decl[:39] == DECL.encode("ascii")
    assert with_decl[39:] == without


def test_shared_child_is_written_like_two_copies():
    c = Node("c", {"k": "v"}, [Node("d", text="x")], "t")
    shared = Node("r", children=[c, c, c])
    copies = Node("r", children=[Node("c", {"k": "v"}, [Node("d", text="x")], "t") for _ in range(3)])
    assert arbolite.write_string(shared, 1) == arbolite.write_string(copies, 1)


# --- attribute order -------------------------------------------------------

# 40 keys in an order that is neither sorted nor reverse sorted: a writer that
# walked a hashed order would show it here with near certainty.
KEYS = [f"k{(i * 17) % 40:02d}" for i in range(40)]


@pytest.mark.parametrize(
    "doc",
    [
        "<r " + " ".join(f'{k}="{i}"' for i, k in enumerate(KEYS)) + "/>",
        '<r z="&lt;" a="" m="&#9;">\n<c y="2" b="1" x="&amp;"/>\n<c b="1" y="2">t</c>\n</r>',
        "<r " + " ".join(f'{k}="v"' for k in reversed(KEYS)) + ">\n<c " + " ".join(f'{k}="w"' for k in KEYS) + "/>\n</r>",
    ],
)
def test_parsed_attributes_are_written_in_document_order(doc):
    # Each document is in the writer's own layout (indent 0), so it must come back unchanged.
    tree = arbolite.read_string(doc, "r")
    assert arbolite.write_string(tree, 0, False) == doc


def test_constructed_attributes_are_written_in_dict_order():
    attrs = {k: str(i) for i, k in enumerate(KEYS)}
    out = arbolite.write_string(Node("r", attrs), 0, False)
    assert out == "<r " + " ".join(f'{k}="{v}"' for k, v in attrs.items()) + "/>"


def test_same_tree_same_bytes_across_processes(run_python):
    code = f"""
        import arbolite
        from arbolite import Node
        keys = {KEYS!r}
        built = Node("r", {{k: k.upper() for k in keys}}, [Node("c", {{k: "x" for k in reversed(keys)}})])
        doc = "<p " + " ".join(k + '="1"' for k in keys) + "/>"
        parsed = arbolite.read_string(doc, "p")
        first = arbolite.write_string(built) + "|" + arbolite.write_string(parsed)
        again = arbolite.write_string(built) + "|" + arbolite.write_string(parsed)
        assert first == again
        print(first, end="")
    """
    runs = [run_python(code, timeout=120) for _ in range(2)]
    for r in runs:
        assert r.returncode == 0, r.stderr
    assert runs[0].stdout == runs[1].stdout
    built, parsed = runs[0].stdout.split("|")
    assert built == (
        DECL
        + "<r "
        + " ".join(f'{k}="{k.upper()}"' for k in KEYS)
        + ">\n    <c "
        + " ".join(f'{k}="x"' for k in reversed(KEYS))
        + "/>\n</r>"
    )
    assert parsed == DECL + "<p " + " ".join(f'{k}="1"' for k in KEYS) + "/>"


# --- argument errors ------------------------------------------------------

ARGUMENT_ERRORS = [
    # (function, arguments, exception type, exact message or None for the
    # interpreter's own text, parameter named in the note)
    (arbolite.write_string, ("r",), {}, TypeError, "'str' object is not an instance of 'Node'", "node"),
    (arbolite.write_string, (None,), {}, TypeError, "'None' is not an instance of 'Node'", "node"),
    (arbolite.write_string, (), {"node": {"name": "r"}}, TypeError, "'dict' object is not an instance of 'Node'", "node"),
    (arbolite.write_string, (Node("r"), -1), {}, OverflowError, None, "indent"),
    (arbolite.write_string, (Node("r"), 2**64), {}, OverflowError, None, "indent"),
    (arbolite.write_string, (Node("r"), 2.5), {}, TypeError, None, "indent"),
    (arbolite.write_string, (Node("r"), "2"), {}, TypeError, None, "indent"),
    (arbolite.write_string, (Node("r"),), {"default_xml_def": 1}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
    (arbolite.write_string, (Node("r"), 2, "yes"), {}, TypeError, "'str' object is not an instance of 'bool'", "default_xml_def"),
    (arbolite.write_string, (Node("r"), 2, 0), {}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
    # Extraction order: node, then indent, then default_xml_def.
    (arbolite.write_string, (1, -1, 1), {}, TypeError, "'int' object is not an instance of 'Node'", "node"),
    (arbolite.write_string, (Node("r"), -1, 1), {}, OverflowError, None, "indent"),
    (arbolite.write_file, ("r", "PATH"), {}, TypeError, "'str' object is not an instance of 'Node'", "node"),
    (arbolite.write_file, (Node("r"), bytearray(b"out.xml")), {}, TypeError, "'bytearray' object is not an instance of 'str'", "file_path"),
    (arbolite.write_file, (Node("r"), memoryview(b"out.xml")), {}, TypeError, "'memoryview' object is not an instance of 'str'", "file_path"),
    (arbolite.write_file, (Node("r"), None), {}, TypeError, "'None' is not an instance of 'str'", "file_path"),
    (arbolite.write_file, (Node("r"), "\ud800"), {}, UnicodeEncodeError, None, "file_path"),
    (arbolite.write_file, (Node("r"), "PATH", -1), {}, OverflowError, None, "indent"),
    (arbolite.write_file, (Node("r"), "PATH", 2.5), {}, TypeError, None, "indent"),
    (arbolite.write_file, (Node("r"), "PATH"), {"indent": "2"}, TypeError, None, "indent"),
    (arbolite.write_file, (Node("r"), "PATH", 2, 1), {}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
    (arbolite.write_file, (Node("r"), "PATH"), {"default_xml_def": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "default_xml_def"),
    (arbolite.write_file, (1, b"PATH", -1, 1), {}, TypeError, "'int' object is not an instance of 'Node'", "node"),
    (arbolite.write_file, (Node("r"), bytearray(b"out.xml"), -1, 1), {}, TypeError, "'bytearray' object is not an instance of 'str'", "file_path"),
    (arbolite.write_file, (Node("r"), "PATH", -1, 1), {}, OverflowError, None, "indent"),
    (arbolite.write_string, (Node("r"),), {"pretty": 0}, TypeError, "'int' object is not an instance of 'bool'", "pretty"),
    (arbolite.write_file, (Node("r"), "PATH"), {"pretty": "no"}, TypeError, "'str' object is not an instance of 'bool'", "pretty"),
    # pretty comes after the others.
    (arbolite.write_string, (Node("r"), None, 1), {"pretty": 0}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
]


def _fill_path(value, path):
    if value == "PATH":
        return str(path)
    if value == b"PATH":
        return os.fsencode(path)
    if value == "PATHOBJ":
        return pathlib.Path(path)
    return value


@pytest.mark.parametrize("func, args, kwargs, exc_type, message, parameter", ARGUMENT_ERRORS)
def test_argument_errors(tmp_path, func, args, kwargs, exc_type, message, parameter):
    path = tmp_path / "out.xml"
    args = tuple(_fill_path(a, path) for a in args)
    kwargs = {k: _fill_path(v, path) for k, v in kwargs.items()}
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: arbolite.write_string(Node("r"), 2, pretty=False),
         "write_string() got indent with pretty=False: compact output has no line breaks to indent"),
        (lambda p: arbolite.write_file(Node("r"), p, indent=0, pretty=False),
         "write_file() got indent with pretty=False: compact output has no line breaks to indent"),
        (lambda p: arbolite.write_string(Node("r"), None, None, False),
         "write_string() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda p: arbolite.write_file(Node("r"), p, None, None, False),
         "write_file() takes from 2 to 4 positional arguments but 5 were given"),
    ],
)
def test_pretty_is_keyword_only_and_takes_no_indent(tmp_path, call, message):
    with pytest.raises(TypeError) as info:
        call(str(tmp_path / "out.xml"))
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


# --- compact output ---------------------------------------------------------


def etree_of(node):
    """The ElementTree element of a tree, with no tails: each text where
    arbolite writes it, before the children."""
    e = ET.Element(node.name, node.attrs)
    e.text = node.text
    e.extend(etree_of(c) for c in node.children)
    return e


@pytest.mark.parametrize(
    "build",
    [
        worked_example,
        text_and_two_children,
        two_levels,
        shared_child_twice,
        lambda: Node("r", {"a": "x y", "b": ""}, [Node("b", text=" spaced\n text "), Node("c")], " lead "),
        lambda: Node("é", {"ключ": "значение"}, [Node("日本")], "😀 ü"),
    ],
)
@pytest.mark.parametrize("indent", [{}, {"indent": None}])
def test_compact_is_what_elementtree_writes(sink, build, indent):
    tree = build()
    # ElementTree writes an empty element <b />.
    expected = ET.tostring(etree_of(tree), encoding="unicode").replace(" />", "/>")
    assert sink(tree, default_xml_def=False, pretty=False, **indent) == expected
    assert sink(tree, pretty=False, **indent) == DECL.rstrip("\n") + expected


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_compact_corpus_is_canonically_elementtrees_and_reads_back(path):
    data = path.read_bytes()
    try:
        ET.fromstring(data)
    except ET.ParseError:
        pytest.skip("not well-formed: ElementTree cannot read it")
    tree = arbolite.read_string(data, written_root(data))
    out = arbolite.write_string(tree, default_xml_def=False, pretty=False)
    # Canonical XML keeps all white space text: any the writer added shows.
    assert ET.canonicalize(out) == ET.canonicalize(ET.tostring(etree_of(tree), encoding="unicode"))
    assert arbolite.read_string(out, tree.name).to_dict() == tree.to_dict()


# --- indents too large to write -------------------------------------------

# Runs in a child with its address space and file sizes capped, so that a
# writer that tries to produce the indentation fails quickly there instead of
# eating the machine's memory or disk.
_ABSURD_INDENT = """
import json, resource, signal
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
import arbolite
from arbolite import Node
def chain(depth):
    node = Node("n")
    for _ in range(depth):
        node = Node("n", children=[node])
    return node
tree = {tree}
path = {path!r}
try:
    if path is None:
        arbolite.write_string(tree, {indent})
    else:
        arbolite.write_file(tree, path, {indent})
    outcome = [None, ""]
except BaseException as e:
    outcome = [type(e).__name__, str(e)]
print(json.dumps(outcome))
"""

# (tree expression, indent, expected exception): the overflow cases have
# indent × deepest level beyond 2^64; the memory cases need more bytes of
# indentation than an x86-64 process can address (2^47).
ABSURD_INDENTS = [
    pytest.param("chain(2)", 2**63, "OverflowError", id="2^63-at-level-2"),
    pytest.param("chain(2)", 2**64 - 1, "OverflowError", id="max-at-level-2"),
    pytest.param("chain(4)", 2**62, "OverflowError", id="2^62-at-level-4"),
    pytest.param("chain(100)", 2**58, "OverflowError", id="2^58-at-level-100"),
    pytest.param(
        'Node("r", children=[Node("a", children=[Node("b")])], text="x")', 2**63, "OverflowError", id="level-2-after-text"
    ),
    pytest.param("chain(1)", 2**63, "MemoryError", id="2^63-at-level-1"),
    pytest.param("chain(1)", 2**64 - 1, "MemoryError", id="max-at-level-1"),
    pytest.param('Node("r", children=[Node("a"), Node("b"), Node("c")])', 2**62, "MemoryError", id="3-lines-of-2^62"),
    pytest.param("chain(1)", 2**62, "MemoryError", id="one-line-of-2^62"),
    pytest.param("chain(1)", 2**48, "MemoryError", id="one-line-of-2^48"),
    pytest.param("chain(3)", 2**50, "MemoryError", id="chain-3-of-2^50"),
]


@pytest.mark.address_limit
@pytest.mark.parametrize("tree, indent, expected", ABSURD_INDENTS)
@pytest.mark.parametrize("target", ["string", "new-file", "existing-file"])
def test_absurd_indent_is_refused_before_writing(run_python, tmp_path, tree, indent, expected, target):
    path = None if target == "string" else str(tmp_path / "out.xml")
    before = "previous content\n" * 1000
    if target == "existing-file":
        pathlib.Path(path).write_text(before)
    result = run_python(_ABSURD_INDENT.format(tree=tree, indent=indent, path=path), timeout=300)
    assert result.returncode == 0, result.stderr
    kind, message = json.loads(result.stdout)
    if target == "string":
        file_state = expected_state = None
    elif not os.path.exists(path):
        file_state = "absent"
    else:
        file_state = "untouched" if pathlib.Path(path).read_text() == before else f"{os.path.getsize(path)} bytes"
    if target == "new-file":
        expected_state = "absent"
    elif target == "existing-file":
        expected_state = "untouched"
    # One comparison, so that a failure shows the exception and the file together.
    assert (kind, "indent" in message, file_state) == (expected, True, expected_state), message


# --- very deep trees ------------------------------------------------------


def test_million_levels_deep(run_python, chain_setup, tmp_path):
    path = str(tmp_path / "deep.xml")
    result = run_python(
        chain_setup,
        f"""
        path = {path!r}
        expected = '<?xml version="1.0" encoding="utf-8"?>\\n' + "<n>\\n" * (DEPTH - 1) + '<n k="v">t</n>' + "\\n</n>" * (DEPTH - 1)
        assert arbolite.write_string(root, 0) == expected
        assert arbolite.write_file(root, path, 0) is None
        with open(path, "rb") as f:
            assert f.read() == expected.encode()
        # indent × 999,999 is beyond 2^64: refused, naming the indent.
        try:
            arbolite.write_string(root, 2**45)
        except OverflowError as e:
            assert "indent" in str(e), e
        else:
            raise AssertionError("no OverflowError")
        print("ok")
        """,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


# --- file output ----------------------------------------------------------


def _os_message(code):
    return f"{os.strerror(code)} (os error {code})"


# (path maker, exception type, exact message)
OPEN_FAILURES = [
    pytest.param(lambda d: str(d / "missing" / "x.xml"), FileNotFoundError, _os_message(2), id="missing-directory"),
    pytest.param(lambda d: "", FileNotFoundError, _os_message(2), id="empty-path"),
    pytest.param(lambda d: str(d), IsADirectoryError, _os_message(21), id="directory"),
    pytest.param(lambda d: str(d) + "/", IsADirectoryError, _os_message(21), id="directory-slash"),
    pytest.param(lambda d: str(d / "plain" / "x.xml"), NotADirectoryError, _os_message(20), id="under-a-file"),
    pytest.param(
        lambda d: str(d / "a\0b.xml"), OSError, "file name contained an unexpected NUL byte", id="nul-in-path"
    ),
    pytest.param(lambda d: "\0", OSError, "file name contained an unexpected NUL byte", id="nul-only"),
]


@pytest.mark.parametrize("make_path, exc_type, message", OPEN_FAILURES)
def test_open_failures(tmp_path, make_path, exc_type, message):
    (tmp_path / "plain").write_text("keep")
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(OSError) as info:
        arbolite.write_file(worked_example(), make_path(tmp_path))
    e = info.value
    assert type(e) is exc_type
    assert str(e) == message
    assert e.args == (message,)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "plain").read_text() == "keep"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize(
    "tree, args",
    [
        pytest.param(Node("r"), (), id="declaration-only-buffered"),
        pytest.param(Node("r"), (4, False), id="tiny-buffered"),
        pytest.param(Node("r", text="x" * 20000), (4, False), id="direct-write"),
        pytest.param(Node("r", children=[Node("c", {"k": "v"}) for _ in range(2000)]), (), id="many-flushes"),
    ],
)
def test_write_to_full_device(tree, args):
    with pytest.raises(OSError) as info:
        arbolite.write_file(tree, "/dev/full", *args)
    e = info.value
    assert type(e) is OSError
    assert str(e) == _os_message(28)
    assert e.errno is None


def test_overwrite_truncates_longer_file(tmp_path):
    path = tmp_path / "out.xml"
    path.write_bytes(b"\xef\xbb\xbf" + b"junk " * 50000)
    assert arbolite.write_file(Node("r", {"a": "1"}), str(path)) is None
    assert path.read_bytes() == (DECL + '<r a="1"/>').encode()
    # And again over a file that write_file itself produced.
    assert arbolite.write_file(Node("s"), str(path), 0, False) is None
    assert path.read_bytes() == b"<s/>"


def test_creates_file_with_default_mode(tmp_path):
    path = tmp_path / "new.xml"
    old = os.umask(0o022)
    try:
        arbolite.write_file(Node("r"), str(path))
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o644


def _wide_tree(n):
    return Node("root", children=[Node("item", {"id": str(i), "v": "a&b\t"}, text=f"t<{i}>") for i in range(n)])


LARGE = [
    pytest.param(lambda: _wide_tree(2000), (), id="many-small-pieces"),
    pytest.param(lambda: _wide_tree(2000), (0, False), id="many-small-pieces-indent-0"),
    pytest.param(lambda: Node("r", text="x" * 20000), (), id="text-20000"),
    pytest.param(lambda: Node("r", text="é" * 10000), (), id="non-ascii-text-20000-bytes"),
    pytest.param(lambda: Node("r", {"k": "v" * 9000}), (), id="attribute-9000"),
    pytest.param(lambda: Node("n" * 9000, text="t"), (), id="name-9000"),
    pytest.param(lambda: Node("r", {"k" * 9000: "v"}), (), id="key-9000"),
    pytest.param(lambda: Node("r", text=("y" * 9000 + "&") * 3), (), id="escapes-between-long-runs"),
    pytest.param(lambda: Node("r", {"k": ("y" * 9000 + "\n") * 3}), (), id="attr-escapes-between-long-runs"),
    pytest.param(lambda: Node("r", children=[Node("a", children=[Node("b")])]), (9000,), id="indent-9000"),
    pytest.param(
        lambda: Node("r", children=[Node("c", text="z" * n) for n in (8100, 8191, 8192, 8193, 1, 16384, 3)]),
        (),
        id="pieces-around-8192",
    ),
] + [
    # Text of exactly the buffer's free space and around it, after the declaration and "<r>".
    pytest.param(lambda n=n: Node("r", text="w" * n), (), id=f"text-{n}")
    for n in (8192 - 42 - 1, 8192 - 42, 8192 - 42 + 1, 8191, 8192, 8193)
]


@pytest.mark.parametrize("build, args", LARGE)
def test_large_file_equals_string(tmp_path, build, args):
    tree = build()
    path = tmp_path / "out.xml"
    arbolite.write_file(tree, str(path), *args)
    expected = arbolite.write_string(tree, *args).encode("utf-8")
    assert len(expected) > 8192
    assert path.read_bytes() == expected
