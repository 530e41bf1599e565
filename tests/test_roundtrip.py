"""Trees written by write_string and read back by read_string keep their
names, attributes (and their order) and children; texts come back trimmed the
way the reader trims them."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import arbolite
from arbolite import Node
from conftest import examples

# Characters with the Unicode White_Space property: the reader trims these.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"

# NameStartChar ranges of XML 1.0 without ':' (used only between two parts).
NAME_START_RANGES = [
    (0x41, 0x5A), (0x5F, 0x5F), (0x61, 0x7A), (0xC0, 0xD6), (0xD8, 0xF6), (0xF8, 0x2FF),
    (0x370, 0x37D), (0x37F, 0x1FFF), (0x200C, 0x200D), (0x2070, 0x218F), (0x2C00, 0x2FEF),
    (0x3001, 0xD7FF), (0xF900, 0xFDCF), (0xFDF0, 0xFFFD), (0x10000, 0xEFFFF),
]
NAME_EXTRA_RANGES = [(0x2D, 0x2E), (0x30, 0x39), (0xB7, 0xB7), (0x300, 0x36F), (0x203F, 0x2040)]


def _in(ranges, c):
    cp = ord(c)
    return any(lo <= cp <= hi for lo, hi in ranges)


def _name_start(c):
    return _in(NAME_START_RANGES, c)


def _name_char(c):
    return _in(NAME_START_RANGES, c) or _in(NAME_EXTRA_RANGES, c)


# Mostly ASCII so that names stay readable, with non-ASCII letters, digits and
# marks mixed in.
_start_char = st.one_of(
    st.sampled_from("abcxyzABCXYZ_"),
    st.characters(categories=("Lu", "Ll", "Lo", "Lt", "Nl")).filter(_name_start),
)
_name_char_st = st.one_of(
    _start_char,
    st.sampled_from("-._0123456789\xb7"),
    st.characters(categories=("Lu", "Ll", "Lo", "Lm", "Mn", "Nd")).filter(_name_char),
)
_ncname = st.builds(lambda first, rest: first + rest, _start_char, st.text(_name_char_st, max_size=8))
names = st.one_of(_ncname, st.builds(lambda p, l: f"{p}:{l}", _ncname, _ncname))


def _xml_char(c):
    cp = ord(c)
    if cp < 0x20:
        return c in "\t\n\r"
    return not (0xD800 <= cp <= 0xDFFF or cp in (0xFFFE, 0xFFFF))


# Any character XML 1.0 can carry, with markup characters, whitespace of both
# kinds and non-ASCII drawn often.
_markup_chars = st.sampled_from(list("<>&\"'\t\r\n ]") + ["]]>", "\r\n", "é", "😀", "\x85", "\xa0", "\u3000", "\u2028", "\x7f"])
_any_char = st.characters(categories=("L", "M", "N", "P", "S", "Z", "Cc", "Cf", "Co")).filter(_xml_char)
values = st.lists(st.one_of(_markup_chars, _any_char), max_size=12).map("".join)

attr_maps = st.dictionaries(names, values, max_size=5)
texts = st.one_of(st.none(), values)


def _node(name, attrs, children, text):
    return Node(name, attrs, children, text)


leaves = st.builds(_node, names, attr_maps, st.just([]), texts)
trees = st.recursive(
    leaves,
    lambda kids: st.builds(_node, names, attr_maps, st.lists(kids, max_size=4), texts),
    max_leaves=20,
)


def expected_text(text):
    if text is None:
        return None
    return text.strip(WHITE_SPACE) or None


def assert_same(original, back, path="root"):
    assert back.name == original.name, path
    assert list(back.attrs.items()) == list(original.attrs.items()), path
    assert back.text == expected_text(original.text), path
    assert len(back.children) == len(original.children), path
    for i, (a, b) in enumerate(zip(original.children, back.children)):
        assert_same(a, b, f"{path}/{i}:{a.name}")


@pytest.mark.parametrize("declaration", [True, False])
@pytest.mark.parametrize("indent", [0, 1, 4])
@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tree=trees)
def test_write_then_read(tree, indent, declaration):
    xml = arbolite.write_string(tree, indent, declaration)
    back = arbolite.read_string(xml, tree.name)
    assert_same(tree, back)


# Fixed cases the generator might only reach by luck.
CASES = [
    pytest.param(Node("r", {"a": "\t\r\n", "b": "\r\n"}), id="attribute-tab-cr-lf"),
    pytest.param(Node("r", text="a\rb\r\nc\r"), id="text-cr-kept-raw"),
    pytest.param(Node("r", text="\r\n  x  \u3000\x85\xa0"), id="text-unicode-white-space-trimmed"),
    pytest.param(Node("r", text=" \u2028 ", children=[Node("c")]), id="white-space-text-becomes-absent"),
    pytest.param(Node("r", text=""), id="empty-text-becomes-absent"),
    pytest.param(Node("r", text="x]]>y"), id="cdata-end-in-text"),
    pytest.param(Node("r", {"q": "]]>'\"<&"}, text="&lt;"), id="markup-in-both"),
    pytest.param(Node("é:ü", {"ключ": "значение", "x.y-z_1": "😀"}, [Node("日本", text="語")]), id="non-ascii-names"),
    pytest.param(Node("r", children=[Node("r", text="inner")], text="outer"), id="root-name-nested"),
]


@pytest.mark.parametrize("tree", CASES)
@pytest.mark.parametrize("indent", [0, 1, 4])
def test_write_then_read_cases(tree, indent):
    back = arbolite.read_string(arbolite.write_string(tree, indent), tree.name)
    assert_same(tree, back)
