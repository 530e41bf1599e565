"""parse_dict and unparse_dict give what xmltodict.parse and xmltodict.unparse
give, on the corpus and on small documents, for a matrix of their options."""
import collections
import io
import os
import re
from pathlib import Path
from xml.parsers import expat

import pytest
import xmltodict

import arbolite

CORPUS = Path(os.environ.get("ARBOLITE_CORPUS") or Path(__file__).resolve().parents[2] / "shared" / "corpus")
CORPUS_FILES = sorted(p for p in CORPUS.iterdir() if p.is_file() and p.suffix != ".md") if CORPUS.is_dir() else []


class WrittenAttributesOnly:
    """pyexpat reporting only the attributes a document writes: arbolite never
    applies a DTD's attribute defaults (a difference tested on its own below)."""

    @staticmethod
    def ParserCreate(*args):
        parser = expat.ParserCreate(*args)
        parser.specified_attributes = True
        return parser


def oracle(xml, **opts):
    return xmltodict.parse(xml, expat=WrittenAttributesOnly, **opts)


def outcome(fn, *args, **kwargs):
    """A result, or the type and message of what was raised."""
    try:
        return fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - the comparison is the point
        return (type(e).__name__, str(e))


PARSE_OPTIONS = [
    {},
    {"strip_whitespace": False},
    {"force_list": True},
    {"force_list": ("item", "b", "#text"), "force_cdata": True},
    {"xml_attribs": False, "force_cdata": ("b",)},
    {"attr_prefix": "", "cdata_key": "b"},
    {"attr_prefix": "_", "cdata_key": "$", "dict_constructor": collections.OrderedDict},
]
PARSE_IDS = ["default", "raw_text", "force_all", "force_names", "no_attribs", "colliding_keys", "ordered"]

UNPARSE_OPTIONS = [
    {},
    {"pretty": True},
    {"pretty": True, "indent": 2, "short_empty_elements": True},
    {"full_document": False, "short_empty_elements": True},
    {"pretty": True, "indent": "", "full_document": False, "attr_prefix": "_", "cdata_key": "$"},
]

# Bytes the comparison needs no more than once per file and option set.
_docs = {}


def corpus_bytes(path):
    if path not in _docs:
        _docs[path] = path.read_bytes()
    return _docs[path]


def xmltodict_reads(data):
    try:
        oracle(data)
    except Exception:  # noqa: BLE001
        return False
    return True


@pytest.mark.parametrize("opts", PARSE_OPTIONS, ids=PARSE_IDS)
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_parse(path, opts):
    data = corpus_bytes(path)
    expected = outcome(oracle, data, **opts)
    if isinstance(expected, tuple):
        # What xmltodict cannot read, arbolite refuses as read_string does.
        root = re.search(rb"<([A-Za-z_][^\s/>]*)[\s/>]", re.sub(rb"<[?!][^>]*>", b"", data)).group(1).decode()
        with pytest.raises(arbolite.ParseError) as ours:
            arbolite.parse_dict(data, **opts)
        with pytest.raises(arbolite.ParseError) as theirs:
            arbolite.read_string(data, root)
        assert str(ours.value) == str(theirs.value)
        return
    got = arbolite.parse_dict(data, **opts)
    assert got == expected
    assert type(got) is type(expected)


@pytest.mark.parametrize("opts", UNPARSE_OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "default")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_unparse(path, opts):
    data = corpus_bytes(path)
    if not xmltodict_reads(data):
        pytest.skip("xmltodict cannot read it (test_corpus_parse checks the refusal)")
    shape = {k: v for k, v in opts.items() if k in ("attr_prefix", "cdata_key")}
    mapping = arbolite.parse_dict(data, **shape)
    assert arbolite.unparse_dict(mapping, **opts) == xmltodict.unparse(mapping, **opts)


SMALL = [
    "<a/>",
    "<a></a>",
    "<a>  </a>",
    '<a x="1" y="2"/>',
    '<a x="1">t</a>',
    "<a><b>1</b><b>2</b><c/><b>3</b></a>",
    "<a>head<b>1</b>mid<c x='y'/>tail</a>",
    "<a>\n  <b> x </b>\n  <b/>\n</a>",
    "<a><item>1</item></a>",
    "<r><![CDATA[ <x> ]]>&amp;&#x41;&lt;</r>",
    "<a>\u00a0x\u2003</a>",
    "<a>x<!-- dropped -->y<?pi dropped?></a>",
    "<a\tx='&quot;\n\t&#10;'/>",
    "<?xml version='1.0'?><!-- before --><!DOCTYPE a><a b='1'><b>2</b></a><!-- after -->",
    "<x:a xmlns:x='urn:x' x:b='1'><x:c>2</x:c></x:a>",
    "<a><b><c><d>deep</d></c></b><b><c>1</c><c>2</c></b></a>",
    "<a><b x='1'/><b>t</b><b/></a>",
    "<a><b/><b/><c>x</c><c>x</c><d>same</d><d>same</d></a>",
    "\ufeff<a>bom</a>",
]


@pytest.mark.parametrize("opts", PARSE_OPTIONS, ids=PARSE_IDS)
@pytest.mark.parametrize("xml", SMALL)
def test_small_documents(xml, opts):
    assert arbolite.parse_dict(xml, **opts) == oracle(xml, **opts)
    assert arbolite.parse_dict(xml.encode("utf-8"), **opts) == oracle(xml.encode("utf-8"), **opts)


@pytest.mark.parametrize(
    "data",
    [
        "<?xml version='1.0' encoding='iso-8859-1'?><a b='\xe9'>\xe0</a>".encode("latin-1"),
        "<a>\u20ac</a>".encode("utf-16"),
        bytearray(b"<a>x</a>"),
        memoryview(b"<a><b>x</b></a>"),
    ],
)
def test_bytes_are_decoded_as_read_string_decodes_them(data):
    assert arbolite.parse_dict(data) == oracle(bytes(data))


@pytest.mark.parametrize("make", [io.BytesIO, lambda b: io.StringIO(b.decode())], ids=["binary", "text"])
def test_file_object_source(make):
    data = corpus_bytes(CORPUS_FILES[-1]) if CORPUS_FILES else b"<a><b>1</b></a>"
    assert arbolite.parse_dict(make(data)) == oracle(io.BytesIO(data))


def test_open_file_source():
    if not CORPUS_FILES:
        pytest.skip("no corpus")
    path = next(p for p in CORPUS_FILES if xmltodict_reads(corpus_bytes(p)))
    with open(path, "rb") as f:
        assert arbolite.parse_dict(f) == oracle(corpus_bytes(path))


@pytest.mark.parametrize(
    "xml, root",
    [
        ("<a><b></a>", "a"),
        ("<a x='1' x='2'/>", "a"),
        ("<a>&nope;</a>", "a"),
        ("<a>&amp</a>", "a"),
        ("<a", "a"),
        ("<a><b>", "a"),
        ("<a x=1/>", "a"),
        (b"<a>\xff</a>", "a"),
    ],
)
def test_malformed_input_is_refused_as_read_string_refuses_it(xml, root):
    theirs = outcome(arbolite.read_string, xml, root)
    assert isinstance(theirs, tuple)
    assert outcome(arbolite.parse_dict, xml) == theirs
    if isinstance(xml, str):
        assert outcome(arbolite.parse_dict, io.BytesIO(xml.encode())) == theirs


@pytest.mark.parametrize("xml", ["", "   ", "<!-- only a comment -->", "<?pi?>"])
def test_a_document_without_an_element(xml):
    with pytest.raises(arbolite.ParseError, match="no element found in document"):
        arbolite.parse_dict(xml)
    with pytest.raises(Exception):
        xmltodict.parse(xml)


# Where xmltodict's answer comes from expat and arbolite's reader differs:
# (document, what parse_dict gives, what xmltodict.parse gives); an exception
# is given by its type's name.
READER_DIFFERENCES = [
    # A DTD's attribute defaults: expat applies them, arbolite never reads the DTD.
    ("<!DOCTYPE a [<!ATTLIST a x CDATA '1'>]><a/>", {"a": None}, {"a": {"@x": "1"}}),
    # Entity declarations: xmltodict refuses them, arbolite skips them...
    ("<!DOCTYPE a [<!ENTITY e 'v'>]><a>x</a>", {"a": "x"}, "ValueError"),
    # ...and a reference to one is an unknown entity.
    ("<!DOCTYPE a [<!ENTITY e 'v'>]><a>&e;</a>", "ParseError", "ValueError"),
    # Line ends: expat turns CR LF and CR into LF in text, arbolite keeps them.
    ("<a>x\r\ny\rz</a>", {"a": "x\r\ny\rz"}, {"a": "x\ny\nz"}),
    # After the document element arbolite reads nothing but unclosed tags.
    ("<a/><b/>", {"a": None}, "ExpatError"),
]


@pytest.mark.parametrize("xml, ours, theirs", READER_DIFFERENCES)
def test_reader_differences(xml, ours, theirs):
    def shape(fn):
        got = outcome(fn, xml)
        return got[0] if isinstance(got, tuple) else got

    assert (shape(arbolite.parse_dict), shape(xmltodict.parse)) == (ours, theirs)


# Mappings beyond what parse_dict returns, as xmltodict.unparse takes them.
UNPARSE_MAPPINGS = [
    {"a": None},
    {"a": ""},
    {"a": {"@x": None, "@y": 1, "@z": True, "#text": 2.5}},
    {"a": {"b": [1, None, "", {"c": "d"}], "e": [], "f": ("g", "h")}},
    {"a": {"@q": "it's \"x\"", "@r": "'", "@s": "<&>\t\r\n", "#text": "<&>\"'"}},
    {"a": {"@xmlns": {"": "urn:d", "p": "urn:p"}, "p:b": "1"}},
    {"a": {"#comment": ["one", "two", None], "b": "x", "#text": None}},
    {"#comment": "top", "a": {"b": {"c": {}}}},
    {"a": {"b": b"bytes\xff", "c": False}},
    collections.OrderedDict([("a", collections.OrderedDict([("@x", "1"), ("b", "2")]))]),
    {"a": "\u00e9\u20ac\U0001f600"},
]


@pytest.mark.parametrize("opts", UNPARSE_OPTIONS)
@pytest.mark.parametrize("mapping", UNPARSE_MAPPINGS)
def test_unparse_mappings(mapping, opts):
    assert outcome(arbolite.unparse_dict, mapping, **opts) == outcome(xmltodict.unparse, mapping, **opts)


@pytest.mark.parametrize(
    "mapping, opts",
    [
        ({}, {}),
        ({"a": 1, "b": 2}, {}),
        ({"a": [1, 2]}, {}),
        ({"a b": 1}, {}),
        ({"?a": 1}, {}),
        ({"a/": 1}, {}),
        ({"a'": 1}, {}),
        ({"a=": 1}, {}),
        ({"<a": 1}, {}),
        ({1: "x"}, {}),
        ({"a": {"@x y": 1}}, {}),
        ({"a": {"#comment": "x--y"}}, {}),
        ({"a": {"#comment": "x-"}}, {}),
        ({"a": 1, "b": 2}, {"full_document": False}),
        ({"a": [1, 2]}, {"full_document": False}),
    ],
)
def test_unparse_errors_and_edges(mapping, opts):
    assert outcome(arbolite.unparse_dict, mapping, **opts) == outcome(xmltodict.unparse, mapping, **opts)


@pytest.mark.parametrize(
    "call",
    [
        lambda: arbolite.parse_dict(),
        lambda: arbolite.parse_dict(1),
        lambda: arbolite.parse_dict("<a/>", "@"),
        lambda: arbolite.parse_dict("<a/>", attr_prefix=1),
        lambda: arbolite.parse_dict("<a/>", cdata_key=None),
        lambda: arbolite.parse_dict("<a/>", force_list=len),
        lambda: arbolite.parse_dict("<a/>", force_cdata=3),
        lambda: arbolite.parse_dict("<a/>", dict_constructor=1),
        lambda: arbolite.parse_dict("<a/>", encoding="utf-8"),
        lambda: arbolite.parse_dict(io.BytesIO(b"x").getbuffer().tolist()),
        lambda: arbolite.unparse_dict(),
        lambda: arbolite.unparse_dict([("a", 1)]),
        lambda: arbolite.unparse_dict({"a": 1}, True),
        lambda: arbolite.unparse_dict({"a": 1}, indent=1.5),
        lambda: arbolite.unparse_dict({"a": 1}, attr_prefix=b"@"),
        lambda: arbolite.unparse_dict({"a": 1}, output=io.StringIO()),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_errors_inside_the_callers_objects_pass_through():
    class Refusing(dict):
        def __setitem__(self, key, value):
            raise KeyError("refused")

    with pytest.raises(KeyError, match="refused"):
        arbolite.parse_dict("<a><b/></a>", dict_constructor=Refusing)

    class NoMembership:
        def __contains__(self, key):
            raise RuntimeError("asked")

    with pytest.raises(RuntimeError, match="asked"):
        arbolite.parse_dict("<a/>", force_list=NoMembership())


def test_deep_documents_need_no_native_recursion():
    depth = 100_000
    xml = "<e>" * depth + "x" + "</e>" * depth
    got = arbolite.parse_dict(xml)
    for _ in range(depth - 1):
        got = got["e"]
    assert got == {"e": "x"}
    out = arbolite.unparse_dict(arbolite.parse_dict(xml), full_document=False)
    assert out == xml


def test_a_mapping_inside_itself_is_refused():
    # xmltodict recurses until RecursionError; the explicit stack would grow
    # until memory ran out.
    looped = {}
    looped["a"] = {"b": [looped, {"c": looped}]}
    with pytest.raises(RecursionError):
        xmltodict.unparse(looped)
    with pytest.raises(ValueError, match="Circular reference detected"):
        arbolite.unparse_dict(looped)


@pytest.mark.parametrize("text", ["\x1cx\x1f", " \x1d x \u3000", "\x1c", "\x1e\u00a0\x1f"])
def test_text_is_stripped_as_str_strip_strips(text):
    # U+001C..U+001F are str.strip white space but not Unicode White_Space,
    # which the reader trims; expat refuses them, so str.strip is the oracle.
    assert arbolite.parse_dict(f"<a>{text}</a>") == {"a": text.strip() or None}
    assert arbolite.parse_dict(f"<a>{text}</a>", strip_whitespace=False) == {"a": text}
