"""Inputs beyond a str: paths as open() takes them, documents as bytes-like
objects in any encoding the interpreter has a codec for (a byte-order mark
decides, then the XML declaration, then UTF-8), and arbolite.ParseError with
its position, byte and code."""

import array
import os
import pathlib
import re
import threading
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import arbolite
from arbolite import Node
from test_differential import CORPUS, assert_same_as_lxml, lxml_parse, written_name
from test_read import ERRORS, as_tuple, cases
from conftest import examples

DOC = "<doc><r k='é€'>ж中😀<c/></r></doc>"
EXPECTED = ("r", (("k", "é€"),), "ж中😀", (("c", (), None, ()),))


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class NoFsPath:
    __fspath__ = None


class RaisingFsPath:
    def __fspath__(self):
        raise KeyError("no path")


def read_note(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value, getattr(info.value, "__notes__", None)


# ---------------------------------------------------------------- paths

PATH_FORMS = {
    "str": str,
    "bytes": os.fsencode,
    "pathlib": pathlib.Path,
    "PathLike-str": lambda p: FsPath(str(p)),
    "PathLike-bytes": lambda p: FsPath(os.fsencode(p)),
}


@pytest.mark.parametrize("form", PATH_FORMS)
def test_paths_as_open_takes_them(tmp_path, form):
    path = tmp_path / "é ж.xml"
    node = arbolite.read_string(DOC, "r")
    arbolite.write_file(node, PATH_FORMS[form](path))
    assert path.read_bytes() == arbolite.write_string(node).encode()
    assert as_tuple(arbolite.read_file(PATH_FORMS[form](path), "r")) == EXPECTED


def test_a_file_name_that_is_not_utf8_is_reached_as_open_reaches_it(tmp_path):
    raw = os.fsencode(tmp_path) + b"/\xff.xml"
    arbolite.write_file(Node("r"), raw)
    name = os.fsdecode(raw)  # the undecodable byte becomes a lone surrogate
    with open(name, encoding="utf-8") as f:
        assert f.read().endswith("<r/>")
    assert arbolite.read_file(name, "r").name == "r"
    assert arbolite.read_file(pathlib.Path(name), "r").name == "r"


@pytest.mark.parametrize("function", ["read_file", "write_file"])
@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (bytearray(b"x.xml"), TypeError, "'bytearray' object is not an instance of 'str'"),
        (memoryview(b"x.xml"), TypeError, "'memoryview' object is not an instance of 'str'"),
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (NoFsPath(), TypeError, "'NoFsPath' object is not an instance of 'str'"),
        (FsPath(1), TypeError, "expected FsPath.__fspath__() to return str or bytes, not int"),
        (RaisingFsPath(), KeyError, "'no path'"),
        ("x\ud800.xml", UnicodeEncodeError, None),  # beyond what surrogateescape can encode
    ],
)
def test_other_paths_keep_their_errors(tmp_path, monkeypatch, function, value, exc_type, message):
    monkeypatch.chdir(tmp_path)
    call = {"read_file": lambda: arbolite.read_file(value, "r"), "write_file": lambda: arbolite.write_file(Node("r"), value)}
    exc, notes = read_note(call[function])
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert notes == ["while processing 'file_path'"]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("form", PATH_FORMS)
@pytest.mark.parametrize("function", ["read_file", "write_file"])
def test_a_nul_byte_in_any_path(tmp_path, form, function):
    path = PATH_FORMS[form](tmp_path / "a\0b.xml")
    call = {"read_file": lambda: arbolite.read_file(path, "r"), "write_file": lambda: arbolite.write_file(Node("r"), path)}
    exc, _ = read_note(call[function])
    assert type(exc) is OSError and exc.args == ("file name contained an unexpected NUL byte",)
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------- buffers

BUFFERS = {
    "bytes": bytes,
    "bytes-subclass": type("B", (bytes,), {}),
    "bytearray": bytearray,
    "memoryview": memoryview,
    "memoryview-of-bytearray": lambda b: memoryview(bytearray(b)),
    "read-only-view-of-bytearray": lambda b: memoryview(bytearray(b)).toreadonly(),
    "memoryview-slice": lambda b: memoryview(b"  " + b + b" ")[2:-1],
    "array": lambda b: array.array("B", b),
}


@pytest.mark.parametrize("form", BUFFERS)
@pytest.mark.parametrize("codec", ["utf-8", "utf-16", "gb18030"])
def test_documents_in_any_buffer(form, codec):
    data = (f"<?xml version='1.0' encoding='{codec}'?>" + DOC).encode(codec)
    assert as_tuple(arbolite.read_string(BUFFERS[form](data), "r")) == EXPECTED


def test_a_buffer_that_is_not_contiguous_is_refused():
    exc, notes = read_note(lambda: arbolite.read_string(memoryview(b"<r/>  ")[::2], "r"))
    assert type(exc) is BufferError and notes == ["while processing 'xml_string'"]


def test_arguments_are_converted_before_the_document_is_decoded():
    exc, notes = read_note(lambda: arbolite.read_string(b"<r>\xff</r>", 5))
    assert type(exc) is TypeError and notes == ["while processing 'root_tag'"]


@pytest.mark.parametrize("document", [b"<r/>", b"<r>\xff</r>", b"<r>", "<r/>".encode("utf-16")])
def test_no_export_of_a_bytearray_outlives_the_call(document):
    data = bytearray(document)
    try:
        arbolite.read_string(data, "r")
    except ValueError:
        pass
    data.extend(b" ")  # a BufferError here would mean the buffer is still held


def test_a_bytearray_changed_by_another_thread_is_read_whole():
    # Both texts have the same length in 2-byte characters; a reader that saw
    # the bytes change under it would find mixed or different characters.
    texts = [("é" * 200_000).encode(), ("ж" * 200_000).encode()]
    data = bytearray(b"<r>" + texts[0] + b"</r>")
    done = threading.Event()
    flips = [0]

    def flip():
        i = 0
        while not done.is_set():
            i ^= 1
            data[3:-4] = texts[i]
            flips[0] += 1

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        before = flips[0]
        seen = {arbolite.read_string(data, "r").text for _ in range(200)}
        during = flips[0] - before
    finally:
        done.set()
        flipper.join()
    assert seen <= {t.decode() for t in texts}
    assert during >= 10, during  # the bytes did change while they were read


# ---------------------------------------------------------------- encodings

DECLARATION = re.compile(r"^<\?xml[^>]*\?>")


def transcode(text, codec, declared, mark=b""):
    declaration = f'<?xml version="1.0" encoding="{declared}"?>'
    text = DECLARATION.sub(declaration, text, count=1) if DECLARATION.match(text) else declaration + "\n" + text
    return mark + text.encode(codec)


# (corpus file, codec, declared name, byte-order mark): every file in codecs
# that can encode all of it.
CORPUS_ENCODINGS = [
    ("josm_boundaries.osm", "latin-1", "ISO-8859-1", b""),
    ("josm_boundaries.osm", "cp1252", "Windows-1252", b""),
    ("josm_boundaries.osm", "euc_jp", "EUC-JP", b""),
    ("docbook.rng", "cp1251", "windows-1251", b""),
    ("lo_uof2odf_spreadsheet.xsl", "gb18030", "GB18030", b""),
    ("cldr_main_ru.xml", "gb18030", "gb18030", b""),
    ("serviceproviders.xml", "utf-16-le", "UTF-16", b"\xff\xfe"),
    ("inkscape_calligraphy.svg", "utf-16-be", "UTF-16", b"\xfe\xff"),
    ("cldr_collation_zh.xml", "utf-32-le", "UTF-32", b"\xff\xfe\x00\x00"),
    ("freedesktop.org.xml", "utf-8", "UTF-8", b"\xef\xbb\xbf"),
    ("docbook.rng", "utf-16-le", "UTF-16LE", b""),  # no mark: "<?" in UTF-16 tells
]


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"no corpus at {CORPUS}")
@pytest.mark.parametrize("name, codec, declared, mark", CORPUS_ENCODINGS, ids=lambda v: v if isinstance(v, str) else None)
def test_transcoded_corpus_reads_as_lxml_reads_it(tmp_path, name, codec, declared, mark):
    data = transcode((CORPUS / name).read_text("utf-8"), codec, declared, mark)
    path = tmp_path / name
    path.write_bytes(data)
    root = lxml_parse(data)
    elements = sum(1 for e in root.iter() if isinstance(e.tag, str))
    for node in (arbolite.read_string(data, written_name(root)), arbolite.read_file(path, written_name(root))):
        assert assert_same_as_lxml(node, root) == elements


# (document, what the text of <r> is read as)
ENCODING_RULES = [
    pytest.param("<?xml version='1.0' encoding='latin-1'?><r>é</r>", "é", id="a str is text already"),
    pytest.param(b"\xef\xbb\xbf<?xml version='1.0' encoding='latin-1'?><r>\xc3\xa9</r>", "é", id="mark over declaration"),
    pytest.param(b"<?xml version='1.0' encoding='UTF-16'?><r>\xc3\xa9</r>", "é", id="utf-16 declared in bytes"),
    pytest.param(b"<?xml version='1.0' encoding='us-ascii'?><r>\xc3\xa9</r>", "é", id="ascii holding utf-8"),
    pytest.param(b"<?xml version='1.0' encoding='u8'?><r>\xc3\xa9</r>", "é", id="a rarer utf-8 alias"),
    pytest.param(b"<?xml version='1.0' encoding='utf_8_sig'?><r>\xc3\xa9</r>", "é", id="utf-8-sig"),
    pytest.param(b"<?xml version='1.0'?><r>\xc3\xa9</r>", "é", id="undeclared"),
    pytest.param(b"<?xml version='1.0' encoding='Windows-1252'?><r>\x80\xe9</r>", "€é", id="windows-1252"),
    pytest.param(b"<?xml version='1.0' encoding='iso-8859-1'?><r>\x80\xe9</r>", "\x80é", id="iso-8859-1"),
    pytest.param("<?xml version='1.0' encoding='Shift_JIS'?><r>日本語テキスト</r>".encode("shift_jis"), "日本語テキスト",
                 id="shift_jis"),
    pytest.param("<?xml version='1.0' encoding='UTF-16BE'?><r>é😀</r>".encode("utf-16-be"), "é😀", id="utf-16-be unmarked"),
    pytest.param("\ufeff<r>é😀</r>".encode("utf-32-be"), "é😀", id="utf-32-be mark"),
]


@pytest.mark.parametrize("document, text", ENCODING_RULES)
def test_encoding_rules(tmp_path, document, text):
    assert arbolite.read_string(document, "r").text == text
    if isinstance(document, bytes):
        (tmp_path / "d.xml").write_bytes(document)
        assert arbolite.read_file(tmp_path / "d.xml", "r").text == text


@pytest.mark.parametrize(
    "declared, message",
    [("no-such", "unknown encoding: no-such"),
     ("base64", "'base64' is not a text encoding; use codecs.decode() to handle arbitrary codecs")],
)
def test_an_encoding_without_a_text_codec(tmp_path, declared, message):
    document = f"<?xml version='1.0' encoding='{declared}'?><r/>".encode()
    exc, notes = read_note(lambda: arbolite.read_string(document, "r"))
    assert (type(exc), str(exc), notes) == (LookupError, message, ["while processing 'xml_string'"])
    (tmp_path / "d.xml").write_bytes(document)
    exc, notes = read_note(lambda: arbolite.read_file(tmp_path / "d.xml", "r"))
    assert (type(exc), str(exc), notes) == (LookupError, message, None)


def decode_error(call):
    exc, notes = read_note(call)
    assert isinstance(exc, UnicodeDecodeError), exc
    return (exc.encoding, exc.object, exc.start, exc.end, exc.reason), notes


@settings(max_examples=examples(300), deadline=None)
@given(st.binary(max_size=12), st.integers(0, 40), st.sampled_from(["", "\n<a>é€😀</a>" * 3]))
def test_invalid_utf8_is_reported_as_the_decoder_reports_it(junk, at, body):
    valid = f"<r>{body}</r>".encode()
    data = valid[:at] + junk + valid[at:]
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as expected:
        got, notes = decode_error(lambda: arbolite.read_string(data, "r"))
        assert got == (expected.encoding, expected.object, expected.start, expected.end, expected.reason)
        assert notes == ["while processing 'xml_string'"]
    else:
        try:
            arbolite.read_string(data, "r")
        except arbolite.ParseError:
            pass


@pytest.mark.parametrize(
    "codec, document",
    [("shift_jis", b"<?xml version='1.0' encoding='shift_jis'?><r>\x82\xa0\x81\x7f\xff</r>"),
     ("utf-16", "<r>x</r>".encode("utf-16") + b"\x00"),
     ("utf-16", b"\xff\xfe<\x00\x00\xdc")],
)
def test_other_decoding_errors_are_the_codecs(tmp_path, codec, document):
    with pytest.raises(UnicodeDecodeError) as expected:
        document.decode(codec)
    e = expected.value
    want = (e.encoding, e.object, e.start, e.end, e.reason)
    codec_notes = getattr(e, "__notes__", [])  # the interpreter's own, kept
    assert decode_error(lambda: arbolite.read_string(document, "r")) == (
        want, codec_notes + ["while processing 'xml_string'"])
    (tmp_path / "d.xml").write_bytes(document)
    assert decode_error(lambda: arbolite.read_file(tmp_path / "d.xml", "r")) == (want, codec_notes or None)


@pytest.mark.parametrize(
    "document",
    [b"<r>\xff</r>", b"<?xml version='1.0' encoding='UTF-8'?><r>\xff</r>", b"<?xml version='1.0' encoding='u8'?><r>\xff</r>",
     b"\xef\xbb\xbf<r>\xff</r>"],
)
def test_a_utf8_file_that_is_not_utf8_keeps_the_os_error(tmp_path, document):
    (tmp_path / "d.xml").write_bytes(document)
    exc, _ = read_note(lambda: arbolite.read_file(tmp_path / "d.xml", "r"))
    assert type(exc) is OSError and exc.args == ("stream did not contain valid UTF-8",)


# ---------------------------------------------------------------- ParseError

# Every message template and its code. The reader cannot produce
# "unexpected '<'", "unterminated comment" and "unexpected end of document"
# (see test_read.py), so they have codes but no case here.
TEMPLATES = [
    (r"malformed XML: Unclosed tag at byte \d+", "unclosed_tag"),
    (r"malformed XML at byte \d+: unterminated markup", "unterminated_markup"),
    (r"malformed XML at byte \d+: expected element name after '<'", "expected_element_name"),
    (r"malformed XML at byte \d+: expected whitespace before attribute", "expected_whitespace"),
    (r"malformed XML at byte \d+: expected attribute name", "expected_attribute_name"),
    (r"malformed XML at byte \d+: attribute '.*' has no value", "attribute_without_value"),
    (r"malformed XML at byte \d+: value of attribute '.*' is not quoted", "unquoted_attribute_value"),
    (r"malformed XML at byte \d+: unterminated attribute value", "unterminated_attribute_value"),
    (r"malformed XML at byte \d+: '<' is not allowed in attribute values", "lt_in_attribute_value"),
    (r"malformed XML at byte \d+: duplicate attribute '.*'", "duplicate_attribute"),
    (r"malformed XML at byte \d+: malformed end tag </.*>", "malformed_end_tag"),
    (r"malformed XML at byte \d+: unexpected end tag </.*>", "unexpected_end_tag"),
    (r"malformed XML at byte \d+: expected </.*>, found </.*>", "mismatched_end_tag"),
    (r"malformed XML at byte \d+: unterminated CDATA section", "unterminated_cdata"),
    (r"malformed XML at byte \d+: unterminated processing instruction", "unterminated_processing_instruction"),
    (r"malformed XML at byte \d+: unterminated document type declaration", "unterminated_doctype"),
    (r"malformed XML at byte \d+: unterminated entity reference", "unterminated_entity_reference"),
    (r"malformed XML at byte \d+: invalid character reference '&.*;'", "invalid_character_reference"),
    (r"unknown entity reference '&.*;' at byte \d+", "unknown_entity"),
    (r"root tag <.*> not found in document", "root_not_found"),
    (r"unexpected end of document: <.*> is never closed", "never_closed"),
]


def code_of(message):
    codes = [code for pattern, code in TEMPLATES if re.fullmatch(pattern, message, re.S)]
    assert len(codes) == 1, (message, codes)
    return codes[0]


def position_of(document, byte):
    """Line from 1 and column from 0 in characters of a byte offset of the
    UTF-8 text (the end without one), line ends as XML counts them."""
    data = document.encode() if isinstance(document, str) else document
    before = data[: len(data) if byte is None else byte].decode("utf-8")
    lines = re.split(r"\r\n|\r|\n", before.removeprefix("\ufeff"))
    return (len(lines), len(lines[-1]))


def test_the_class():
    assert issubclass(arbolite.ParseError, ValueError)
    assert arbolite.ParseError.__module__ == "arbolite" and arbolite.ParseError.__name__ == "ParseError"
    assert arbolite.__all__[:6] == ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]
    assert arbolite.__all__[6] == "ParseError"
    made = arbolite.ParseError("by hand")
    assert (made.position, made.byte, made.code) == (None, None, None)


@pytest.mark.parametrize("document, root_tag, message", cases(ERRORS))
def test_every_message_has_its_code_byte_and_position(document, root_tag, message):
    with pytest.raises(arbolite.ParseError) as info:
        arbolite.read_string(document, root_tag)
    e = info.value
    assert e.args == (message,)
    assert e.code == code_of(message)
    at = re.search(r"at byte (\d+)", message)
    assert e.byte == (int(at.group(1)) if at else None)
    assert e.position == position_of(document, e.byte)


def test_every_reachable_code_is_exercised():
    assert {code_of(message) for _, _, message in ERRORS} == {code for _, code in TEMPLATES}


# (document, how many characters past our position ElementTree points, and why)
AGAINST_ELEMENTTREE = [
    ("<r>\n  é€😀&nbsp;</r>", 0),
    ("<r a='1'\n é='2' a='3'/>", 0),
    ("<r>\n é<a>", 0),  # both: the end of the document
    ("<r>\n é<a b=1/></r>", 0),
    ("<r>\n é&#xD800;</r>", 0),
    ("<r>\n é<a b='<'/></r>", 0),
    ("<r>\n é<a", 0),
    ("<r>\r\n é😀<a b='1'c='2'/></r>", 0),
    ("<r>\r é<!-- x", 0),
    ("<r>\n é<?pi x></r>", 0),
    ("<r>\n é<a ='1'/></r>", 0),
    # We point at the start of the construct, ElementTree inside it.
    ("<r>\n é<a></b></r>", 2),  # at the name after "</"
    ("<r>\n é</a>", 2),
    ("</a>", 1),  # at the "/"
    ("<r>\r é<a b/></r>", 1),  # at the byte after the name that has no value
    ("<r>\n é a & b</r>", 1),  # at the byte after "&"
    ("<r>\n é< a/></r>", 1),  # at the blank after "<"
    ("<r>\n é<a></a x></r>", 4),  # at the stray "x" in the end tag
    ("<r>\n é<a b='1></r>", 2),  # at the first "<" in the open value, we after its quote
    (b"\xef\xbb\xbf<r>&nbsp;</r>", 1),  # ElementTree counts a byte-order mark as a character
]


@pytest.mark.parametrize("document, shift", AGAINST_ELEMENTTREE)
def test_position_against_elementtree(document, shift):
    with pytest.raises(ET.ParseError) as theirs:
        ET.fromstring(document)
    with pytest.raises(arbolite.ParseError) as ours:
        arbolite.read_string(document, "a" if document == "</a>" else "r")
    line, column = ours.value.position
    assert ours.value.position == position_of(document, ours.value.byte)
    assert theirs.value.position == (line, column + shift)


def test_unterminated_cdata_elementtree_points_at_the_end():
    document = "<r>\n é<![CDATA[x]</r>"
    with pytest.raises(ET.ParseError) as theirs:
        ET.fromstring(document)
    with pytest.raises(arbolite.ParseError) as ours:
        arbolite.read_string(document, "r")
    assert ours.value.position == (2, 2)
    assert theirs.value.position == position_of(document, None)


XML_TEXT = st.text(
    st.characters(blacklist_categories=("Cs", "Cc"), blacklist_characters="<&]\ufffe\uffff") | st.sampled_from("\t "),
    max_size=8,
)


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(st.tuples(XML_TEXT, st.sampled_from(["\n", "\r\n", "\r"])), max_size=6), XML_TEXT)
def test_position_matches_elementtree_on_random_lines(lines, last):
    document = "<r>" + "".join(text + end for text, end in lines) + last + "&bogus;</r>"
    with pytest.raises(ET.ParseError) as theirs:
        ET.fromstring(document)
    with pytest.raises(arbolite.ParseError) as ours:
        arbolite.read_string(document, "r")
    assert ours.value.position == theirs.value.position == position_of(document, ours.value.byte)


@pytest.mark.parametrize("codec", ["utf-16", "gb18030", "shift_jis"])
def test_a_decoded_document_reports_offsets_into_its_utf8_form(codec):
    text = f"<?xml version='1.0' encoding='{codec}'?>\n<r>\n 日本 &bogus;</r>"
    with pytest.raises(arbolite.ParseError) as as_str:
        arbolite.read_string(text, "r")
    with pytest.raises(arbolite.ParseError) as as_bytes:
        arbolite.read_string(text.encode(codec), "r")
    e, f = as_str.value, as_bytes.value
    assert (f.args, f.position, f.byte, f.code) == (e.args, e.position, e.byte, e.code) == (
        (f"unknown entity reference '&bogus;' at byte {text.encode().index(b'&')}",), (3, 4), e.byte, "unknown_entity")
