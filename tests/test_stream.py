"""Streaming: iter_file and iter_string yield, in document order, every
element with a name that is not inside an earlier one, built as a whole read
builds it, checked as a whole read checks, in memory that does not grow with
the document."""

import bz2
import gzip
import io
import json
import lzma
import os
import random
import re
import threading
import time
import xml.parsers.expat

import pytest

import arbolite
from arbolite import Node
from conftest import SANITIZED
from test_differential import CORPUS_FILES, NOT_WELL_FORMED, lxml_parse, written_name
from test_read import ERRORS, cases

needs_corpus = pytest.mark.skipif(not CORPUS_FILES, reason="no corpus documents")


# ---------------------------------------------------------------- helpers


class ReadChunks:
    """A file object with only read(), giving at most `size` bytes a call."""

    def __init__(self, data, size):
        self.data, self.size, self.pos = data, size, 0

    def read(self, n=-1):
        out = self.data[self.pos : self.pos + self.size]
        self.pos += len(out)
        return out


class ReadIntoChunks:
    """A file object with only readinto(), filling at most `size` bytes a call."""

    def __init__(self, data, size):
        self.data, self.size, self.pos = memoryview(data), size, 0

    def readinto(self, buffer):
        n = min(len(buffer), self.size, len(self.data) - self.pos)
        buffer[:n] = self.data[self.pos : self.pos + n]
        self.pos += n
        return n


def outermost(root, tag):
    """The elements named `tag`, in document order, not inside an earlier one."""
    found, stack = [], [root]
    while stack:
        node = stack.pop()
        if node.name == tag:
            found.append(node)
            continue
        stack.extend(reversed(node.children))
    return found


def shapes(nodes):
    return [arbolite.write_string(n) for n in nodes]


def error_of(call):
    """What a call raised, as a comparable value (None if it raised nothing)."""
    try:
        call()
    except Exception as e:
        return (type(e), e.args, getattr(e, "position", None), getattr(e, "byte", None), getattr(e, "code", None))
    return None


def stream_error(iterator):
    """The error the stream ends with (None if it ends cleanly) and what it yielded before."""
    got = []
    try:
        for node in iterator:
            got.append(node)
    except Exception as e:
        return (type(e), e.args, getattr(e, "position", None), getattr(e, "byte", None), getattr(e, "code", None)), got
    return None, got


def element_names(root):
    names, stack = set(), [root]
    while stack:
        node = stack.pop()
        names.add(node.name)
        stack.extend(node.children)
    return sorted(names)


def excerpt(data, size):
    """A well-formed start of the document, about `size` bytes long: its bytes
    up to the start tag of some element, then the end tags of the elements
    open there. Comments, references, CDATA sections and character data stay
    as written."""
    parser = xml.parsers.expat.ParserCreate()
    stack, cut = [], []

    def start(name, attrs):
        if not cut and parser.CurrentByteIndex >= size:
            cut.append((parser.CurrentByteIndex, list(stack)))
        stack.append(name)

    parser.StartElementHandler = start
    parser.EndElementHandler = lambda name: stack.pop()
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError:
        pass
    if not cut:
        return None
    at, open_names = cut[0]
    return data[:at] + b"".join(b"</" + n.encode() + b">" for n in reversed(open_names))


def root_name(data):
    """The document element's name, as written."""
    parser = xml.parsers.expat.ParserCreate()
    names = []

    def start(name, attrs):
        names.append(name)
        raise StopIteration

    parser.StartElementHandler = start
    try:
        parser.Parse(data, True)
    except (StopIteration, xml.parsers.expat.ExpatError):
        pass
    return names[0]


def corpus_root(path):
    data = path.read_bytes()
    if path.name in NOT_WELL_FORMED:
        return data, None
    return data, arbolite.read_file(str(path), written_name(lxml_parse(data)))


def ids(paths):
    return [p.name for p in paths]


# ---------------------------------------------------------------- corpus


@needs_corpus
@pytest.mark.parametrize("path", CORPUS_FILES, ids=ids(CORPUS_FILES))
def test_every_name_of_the_corpus(path):
    data, root = corpus_root(path)
    if root is None:
        pytest.skip("not well-formed: its error is compared below")
    text = data.decode("utf-8")
    sources = [
        lambda tag: arbolite.iter_file(str(path), tag),
        lambda tag: arbolite.iter_string(data, tag),
        lambda tag: arbolite.iter_string(text, tag),
        lambda tag: arbolite.iter_file(io.BytesIO(data), tag),
    ]
    names = element_names(root)
    for i, tag in enumerate(names + ["absent"]):
        expected = outermost(root, tag)
        matched = {id(n) for n in root.search_by_name(tag)}
        assert all(id(n) in matched for n in expected)
        want = shapes(expected)
        # Each name through one source, the most frequent through all.
        chosen = sources if i == 0 else [sources[i % len(sources)]]
        for make in chosen:
            assert shapes(make(tag)) == want, tag


@needs_corpus
@pytest.mark.parametrize("size", [1, 7, 4096])
@pytest.mark.parametrize("path", CORPUS_FILES, ids=ids(CORPUS_FILES))
def test_every_construct_split_at_every_kind_of_boundary(path, size):
    data = path.read_bytes()
    # Reads of a byte or a few are slow in Python: those take a start of the
    # document, which still holds each kind of markup it has.
    if size < 4096:
        data = excerpt(data, 6000 if size == 1 else 40000)
        if data is None:
            pytest.skip("no excerpt")
        root = arbolite.read_string(data, root_name(data))
    else:
        _, root = corpus_root(path)
        if root is None:
            pytest.skip("not well-formed")
    names = element_names(root)
    # Whole documents, and 7-byte reads under the sanitizers (where every
    # Python allocation is checked), take the rarest and commonest names.
    if size == 4096 or (size == 7 and SANITIZED):
        counts = {n: len(root.search_by_name(n)) for n in names}
        names = sorted(names, key=lambda n: (counts[n], n))
        names = sorted(set(names[:3] + names[-3:]))
    reader = ReadChunks if size != 7 else ReadIntoChunks
    for tag in names:
        assert shapes(arbolite.iter_file(reader(data, size), tag)) == shapes(outermost(root, tag)), tag


# Each construct, and the document split at every byte.
CONSTRUCTS = (
    "<?xml version='1.0' encoding='UTF-8'?>\n<!DOCTYPE r>\n<!-- a <comment> -->"
    "<r xmlns:p='urn:p'><?pi data?><rec id=\"1\" p:k='a&amp;b&#x263A;'>caf\u00e9 &lt;\u4e2d&#65;&gt;"
    "<![CDATA[ <not> & markup ]]><sub/> tail\U0001F600</rec>\r\n  <rec id='2' a=\"x>y\"/>"
    "<other><rec>inner</rec></other><rec  id = '3' ><rec>nested</rec></rec ></r>\n<!-- after -->"
).encode()


@pytest.mark.parametrize("tag", ["rec", "sub", "r", "other", "none"])
def test_a_document_split_at_every_byte(tag):
    whole = shapes(arbolite.iter_string(CONSTRUCTS, tag))
    assert whole == shapes(outermost(arbolite.read_string(CONSTRUCTS, "r"), tag))
    for size in range(1, 80):
        assert shapes(arbolite.iter_file(ReadChunks(CONSTRUCTS, size), tag)) == whole, size


BROKEN = [
    b"<r><rec>&bogus;</rec></r>",
    b"<r><rec a='1' a='2'/></r>",
    b"<r><rec>\xc3\xa9</rex></r>",
    b"<r><rec><![CDATA[ open </rec></r>",
    b"<r><rec><!-- open </rec></r>",
    b"<r><rec><?pi open </rec></r>",
    b"<r><rec a='1 b='2'/></r>",
    b"<r><rec>&#xD800;</rec></r>",
    b"<r><rec>text</rec><rec>more",
    b"<r><rec/><rec>\xe4\xb8</rec></r>",
    b"<r><rec/></r><after",
    b"<r><rec/><x a=>",
]


@pytest.mark.parametrize("document", BROKEN)
def test_a_broken_document_split_at_every_byte(document):
    whole = stream_error(arbolite.iter_file(io.BytesIO(document), "rec"))
    assert whole[0] is not None
    for size in range(1, len(document) + 1):
        got = stream_error(arbolite.iter_file(ReadChunks(document, size), "rec"))
        assert got[0] == whole[0] and shapes(got[1]) == shapes(whole[1]), size


# ---------------------------------------------------------------- errors


def whole_read_faults(document, root_tag):
    """The errors a stream may end with, judged by whole reads. A whole read
    decodes the document and finds a tag left open at its end before it
    walks; a stream meets faults in document order. So where a whole read
    reports one of those two, the fault a whole read of the text before it
    reports may come first (unless that text has none but its cut end)."""
    want = error_of(lambda: arbolite.read_string(document, root_tag))
    faults = [want]
    while want is not None:
        if want[0] is UnicodeDecodeError:
            at = want[1][2]
        elif want[4] == "unclosed_tag":
            at = want[3]
        else:
            break
        document = document[:at]
        want = error_of(lambda: arbolite.read_string(document, root_tag))
        if want is None or want[4] in ("root_not_found", "never_closed"):
            break
        faults.append(want)
    return faults


def same_error_as_a_whole_read(document, root_tag, tag):
    faults = whole_read_faults(document, root_tag)
    if faults[0] is None:
        return  # a whole read stops at the end tag it wanted; a stream checks on
    if faults[0][4] == "root_not_found":
        if tag == root_tag:
            # Nothing of that name, and nothing wrong but what a whole read
            # that found nothing leaves unsaid: an element left open.
            error, got = stream_error(arbolite.iter_string(document, tag))
            assert got == [] and (error is None or error[4] == "never_closed"), error
        return
    got = stream_error(arbolite.iter_string(document, tag))[0]
    assert got in faults


@pytest.mark.parametrize("document, root_tag, message", cases(ERRORS))
def test_the_errors_of_a_whole_read(document, root_tag, message):
    same_error_as_a_whole_read(document, root_tag, root_tag)


@needs_corpus
@pytest.mark.parametrize("path", CORPUS_FILES, ids=ids(CORPUS_FILES))
def test_truncated_and_corrupted_corpus_files(path):
    data = path.read_bytes()
    root_tag = root_name(data)
    rng = random.Random(path.name)
    tags = sorted(set(m.decode() for m in re.findall(rb"<([A-Za-z_][^\s/>]*)", data[:20000])))[:3]
    for _ in range(12):
        cut = rng.randrange(1, len(data))
        same_error_as_a_whole_read(data[:cut], root_tag, rng.choice(tags))
    for _ in range(12):
        at = rng.randrange(len(data))
        damaged = data[:at] + rng.choice([b"<", b"&", b">", b"'", b'"', b"</x>", b"<x", b"\xff"]) + data[at + 1 :]
        same_error_as_a_whole_read(damaged, root_tag, rng.choice(tags))
    if path.name in NOT_WELL_FORMED:
        want = error_of(lambda: arbolite.read_file(str(path), root_tag))
        assert want is not None
        assert stream_error(arbolite.iter_file(str(path), tags[0]))[0] == want


def test_nodes_before_an_error_stay_and_the_stream_ends():
    stream = arbolite.iter_string("<r><rec k='1'>a</rec><rec>b</rec><rec>&nope;</rec></r>", "rec")
    first, second = next(stream), next(stream)
    with pytest.raises(arbolite.ParseError, match="unknown entity reference '&nope;' at byte 38"):
        next(stream)
    assert (first.attrs, first.text, second.text) == ({"k": "1"}, "a", "b")
    assert list(stream) == []


@pytest.mark.parametrize(
    "document, expected",
    [
        (b"", []),
        (b"  <!-- nothing -->  ", []),
        (b"<r><a>1</a></r><a>2</a>", ["1", "2"]),  # past the document element, as a whole read goes on
        (b"<a>1<a>2</a></a><a>3</a>", ["12", "3"]),
    ],
)
def test_what_a_document_yields(document, expected):
    got = [("".join(n.text or "" for n in [m] + m.search_by_name("a")[1:])) for m in arbolite.iter_string(document, "a")]
    assert got == expected


@pytest.mark.parametrize(
    "document, message",
    [
        (b"<r><a/></r><b>", "unexpected end of document: <b> is never closed"),
        (b"<r><a/></r></x>", "malformed XML at byte 11: unexpected end tag </x>"),
        (b"<r><a/></r><!-- x", "malformed XML at byte 11: unterminated markup"),
    ],
)
def test_what_follows_the_document_element_is_checked(document, message):
    stream = arbolite.iter_string(document, "a")
    assert next(stream).name == "a"
    with pytest.raises(arbolite.ParseError) as info:
        next(stream)
    assert str(info.value) == message


# ---------------------------------------------------------------- sources


@pytest.mark.parametrize("opener", [gzip.open, bz2.open, lzma.open], ids=["gzip", "bz2", "lzma"])
def test_compressed_sources(tmp_path, opener):
    records = "".join(f"<rec n='{i}'>{'é' * (i % 7)}<x/></rec>" for i in range(20000))
    document = f"<?xml version='1.0'?><all>{records}</all>"
    path = tmp_path / "doc.xml.z"
    with opener(path, "wt", encoding="utf-8") as f:
        f.write(document)
    with opener(path, "rb") as f:
        got = list(arbolite.iter_file(f, "rec"))
        assert not f.closed
    assert shapes(got) == shapes(arbolite.read_string(document, "all").children)


@pytest.mark.parametrize(
    "document",
    [
        "\ufeff<r><a>é€😀</a></r>".encode("utf-16-le"),
        "<r><a>é€😀</a></r>".encode("utf-16"),
        "<?xml version='1.0' encoding='utf-16'?><r><a>é€😀</a></r>".encode("utf-16"),
        "<?xml version='1.0' encoding='ISO-8859-1'?><r><a>café</a></r>".encode("latin-1"),
        "<?xml version='1.0' encoding='gb18030'?><r><a>中文</a></r>".encode("gb18030"),
        "\ufeff<r><a>bom</a></r>".encode("utf-8"),
    ],
)
def test_encodings_as_a_whole_read_decodes_them(tmp_path, document):
    want = shapes([arbolite.read_string(document, "a")])
    path = tmp_path / "doc.xml"
    path.write_bytes(document)
    assert shapes(arbolite.iter_string(document, "a")) == want
    assert shapes(arbolite.iter_file(path, "a")) == want
    for size in (1, 3):
        assert shapes(arbolite.iter_file(ReadChunks(document, size), "a")) == want


def test_a_str_is_text_whatever_it_declares():
    assert arbolite.iter_string("<?xml version='1.0' encoding='utf-16'?><r><a>é</a></r>", "a").__next__().text == "é"


def test_invalid_utf8_is_reported_where_it_is(tmp_path):
    # As a whole read reports it (a decoding error for bytes, the file
    # error for a file), after the nodes before it.
    document = b"<r><a>ok</a>" + b"<a>x</a>" * 3000 + b"<a>\xc3(</a></r>"
    path = tmp_path / "doc.xml"
    path.write_bytes(document)
    want = error_of(lambda: arbolite.read_string(document, "r"))
    assert want[0] is UnicodeDecodeError
    got, nodes = stream_error(arbolite.iter_string(document, "a"))
    assert got[:2] == want[:2] and len(nodes) == 3001
    want = error_of(lambda: arbolite.read_file(path, "r"))
    for source in [path, ReadChunks(document, 1), ReadChunks(document, 7), ReadIntoChunks(document, 4096)]:
        got, nodes = stream_error(arbolite.iter_file(source, "a"))
        assert got == want and len(nodes) == 3001


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("how", ["close", "with", "del", "exhaust", "error"])
def test_a_path_is_closed_by_the_iterator(tmp_path, how):
    path = tmp_path / "doc.xml"
    path.write_bytes(b"<r>" + b"<a/>" * 1000 + (b"&bad;" if how == "error" else b"") + b"</r>")
    before = open_descriptors()
    stream = arbolite.iter_file(path, "a")
    next(stream)
    assert open_descriptors() == before + 1
    if how == "close":
        stream.close()
        assert list(stream) == []
    elif how == "with":
        with stream:
            next(stream)
    elif how == "del":
        del stream
    elif how == "exhaust":
        assert len(list(stream)) == 999
    else:
        with pytest.raises(arbolite.ParseError):
            list(stream)
    assert open_descriptors() == before


# One construct far longer than the pieces a source gives: the search for
# its end goes on where the last piece ended, so the time grows with the
# length (8 times the bytes, about 8 times the time), not with its square
# (64 times). The bound leaves room for the cost of holding 8 MB in memory
# on a loaded machine.
LONG_CONSTRUCTS = {
    "text": "<rec>{}</rec>",
    "text_outside": "{}<rec/>",
    "comment": "<rec><!--{}--></rec>",
    "cdata": "<rec><![CDATA[{}]]></rec>",
    "attribute": "<rec a='{}'/>",
    "unpaired_quote_in_tag": "<rec a='1' \"{}><x/>",
    "pi": "<rec><?p {}?></rec>",
    "doctype_literal": "<!DOCTYPE r [<!ENTITY e '{}'>]><rec/>",
    "doctype_comment": "<!DOCTYPE r [<!--{}-->]><rec/>",
    "element_name": "<rec/><x{}/>",
    "end_tag_name": "<rec/><x></x{}>",
    "pi_target": "<rec><?p{} ?></rec>",
    "doctype_pi": "<!DOCTYPE r [<?p {}?>]><rec/>",
}


@pytest.mark.alone
@pytest.mark.parametrize("shape", LONG_CONSTRUCTS.values(), ids=LONG_CONSTRUCTS.keys())
def test_a_long_construct_in_small_pieces_is_read_in_linear_time(shape):
    def seconds(size):
        data = ("<r>" + shape.format("x" * size) + "</r>").encode()
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            try:
                for _ in arbolite.iter_file(ReadChunks(data, 1024), "rec"):
                    pass
            except arbolite.ParseError:
                pass  # the unpaired quote, found at the end
            best = min(best, time.perf_counter() - start)
        return best

    small, large = seconds(1 << 20), seconds(8 << 20)
    assert large < 40 * small, (small, large)


def test_a_file_object_is_never_closed():
    f = io.BytesIO(b"<r><a/><a/></r>")
    with arbolite.iter_file(f, "a") as stream:
        next(stream)
    assert not f.closed
    list(arbolite.iter_file(f, "a"))
    assert not f.closed


def test_a_read_that_raises_propagates_unchanged():
    failure = OSError(5, "the disk is gone")

    class Failing:
        calls = 0

        def read(self, n):
            Failing.calls += 1
            if Failing.calls > 1:
                raise failure
            return b"<r><a>1</a><a>"

    stream = arbolite.iter_file(Failing(), "a")
    assert next(stream).text == "1"
    with pytest.raises(OSError) as info:
        next(stream)
    assert info.value is failure
    assert list(stream) == []


class Returns:
    def __init__(self, value):
        self.value = value

    def read(self, n):
        return self.value


class ReadsInto:
    def __init__(self, count, clear=False):
        self.count, self.clear = count, clear

    def readinto(self, buffer):
        if self.clear:
            buffer.clear()
            self.clear, self.count = False, 0  # then the end
            return 4
        return self.count


@pytest.mark.parametrize(
    "source, error, message",
    [
        (Returns("<r/>"), TypeError, "the file object's read() returned str, not bytes: open the file in binary mode"),
        (Returns(5), TypeError, "the file object's read() returned 'int', not bytes"),
        (ReadsInto(-1), ValueError, "the file object's readinto() returned -1"),
        (ReadsInto(1 << 40), ValueError, f"the file object's readinto() returned {1 << 40}"),
        # Bytes it no longer has must not be read as the document.
        (ReadsInto(None, clear=True), ValueError, "the file object's readinto() returned 4"),
        (ReadsInto("x"), TypeError, None),
    ],
)
def test_a_file_object_that_misbehaves(source, error, message):
    with pytest.raises(error) as info:
        list(arbolite.iter_file(source, "r"))
    if message:
        assert str(info.value) == message


def test_a_source_that_fills_every_buffer_it_is_given():
    # The buffer handed to readinto() grows while the source fills it.
    data = ("<r>" + "".join(f"<rec i='{i}'>{'x' * (i % 97)}</rec>" for i in range(60000)) + "</r>").encode()
    got = shapes(arbolite.iter_file(ReadIntoChunks(data, len(data)), "rec"))
    assert got == shapes(arbolite.iter_string(data, "rec"))


def test_a_text_file_is_named_as_the_problem(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text("<r/>")
    with open(path) as f, pytest.raises(TypeError, match="open the file in binary mode"):
        next(arbolite.iter_file(f, "r"))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: arbolite.iter_file(5, "a"), TypeError, "'int' object is neither a path nor a binary file object"),
        (lambda: arbolite.iter_file(object(), "a"), TypeError, "'object' object is neither a path nor a binary file object"),
        (lambda: arbolite.iter_file("/nonexistent/x.xml", "a"), FileNotFoundError, None),
        (lambda: arbolite.iter_file("a\0b", "a"), OSError, "file name contained an unexpected NUL byte"),
        (lambda: arbolite.iter_file(io.BytesIO(b""), 5), TypeError, None),
        (lambda: arbolite.iter_string(5, "a"), TypeError, None),
        (lambda: arbolite.iter_string("<r/>", None), TypeError, None),
        (lambda: arbolite.iter_string(memoryview(b"<r/> ")[::2], "r"), BufferError, None),
        (lambda: arbolite.iter_string("<r/>"), TypeError, "iter_string() missing 1 required positional argument: 'tag'"),
        (lambda: arbolite.iter_file(), TypeError, "iter_file() missing 2 required positional arguments: 'source' and 'tag'"),
    ],
)
def test_arguments_are_refused_when_called(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message:
        assert str(info.value) == message


def test_the_iterator_type():
    stream = arbolite.iter_string("<r/>", "r")
    assert iter(stream) is stream
    assert type(stream).__name__ == "NodeStream"
    with pytest.raises(TypeError):
        type(stream)()


# ---------------------------------------------------------------- threads


def test_two_threads_on_one_iterator():
    entered, release = threading.Event(), threading.Event()

    class Blocking:
        def __init__(self):
            self.calls = 0

        def read(self, n):
            self.calls += 1
            if self.calls == 1:
                entered.set()
                release.wait(30)
                return b"<r><a/><a/></r>"
            return b""

    stream = arbolite.iter_file(Blocking(), "a")
    results = []
    worker = threading.Thread(target=lambda: results.append([n.name for n in stream]))
    worker.start()
    assert entered.wait(30)
    with pytest.raises(RuntimeError, match="already being advanced"):
        next(stream)
    with pytest.raises(RuntimeError, match="already being advanced"):
        stream.close()
    release.set()
    worker.join(30)
    assert results == [["a", "a"]]


def test_a_source_that_advances_its_own_iterator():
    class Reentrant:
        stream = None

        def read(self, n):
            next(self.stream)
            return b""

    source = Reentrant()
    source.stream = arbolite.iter_file(source, "a")
    with pytest.raises(RuntimeError, match="already being advanced"):
        next(source.stream)


def test_a_cycle_through_the_source_is_collected():
    import gc
    import weakref

    class Holder:
        def read(self, n):
            return b""

    source = Holder()
    source.stream = arbolite.iter_file(source, "a")
    gone = weakref.ref(source)
    del source
    gc.collect()
    assert gone() is None


# ---------------------------------------------------------------- memory

MEMORY_CHILD = r"""
import json, resource
import arbolite

TOTAL = 500 << 20
RECORD = b"<rec id='%d' kind=\"data\"><name>record &amp; more</name><v>" + b"x" * 120 + b"</v></rec>\n"
BIG = b"<rec id='big'><v>" + b"y" * (16 << 20) + b"</v></rec>\n"
BLOCK = b"".join(RECORD.replace(b"%d", str(i).encode()) for i in range(4000))

blocks = 0

def pieces():
    global blocks
    yield b"<?xml version='1.0'?>\n<dump>\n"
    made = 0
    while made < TOTAL:
        if made <= TOTAL // 2 < made + len(BLOCK):
            yield from (BIG[i : i + (1 << 20)] for i in range(0, len(BIG), 1 << 20))
        yield BLOCK
        blocks += 1
        made += len(BLOCK)
    yield b"</dump>\n"

class Generated:
    # A document made while it is read: never whole, on disk or in memory.
    def __init__(self):
        self.pieces = pieces()
    def read(self, n):
        return next(self.pieces, b"")

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

base = peak()
count, kept = 0, []
for node in arbolite.iter_file(Generated(), "rec"):
    count += 1
    if count % 10000 == 0:
        kept.append(node)  # a kept node does not keep the stream's buffers
print(json.dumps({"count": count, "records": blocks * 4000 + 1, "growth": peak() - base, "kept": len(kept), "largest": len(BIG)}))
"""


@pytest.mark.alone
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's own memory hides the stream's")
def test_memory_does_not_grow_with_the_document(run_python):
    result = run_python(MEMORY_CHILD, timeout=900)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["count"] == report["records"] and report["kept"] == report["count"] // 10000
    # A few MB of buffers, and the largest record twice as it ends: its bytes
    # in the window and its node (with a 16 MB record, 2.36 to 2.40 times the
    # record was measured, huge pages rounding both up).
    assert report["growth"] < (8 << 20) + 2 * report["largest"], report
