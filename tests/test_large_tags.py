"""Start tags much larger than the room a node is first given: attribute
values, names and lists of every size around the reader's memory limits (its
slabs and reservations), plain and with references to decode, in small and
large documents, read whole and streamed in pieces of several sizes, each
against ElementTree's reading."""

import xml.etree.ElementTree as ET

import pytest

import arbolite
from conftest import assert_same_as_etree
from test_stream import ReadChunks

KB, MB = 1024, 1024 * 1024

# (key length, value lengths, tags in the document, elements before them).
# The reader's limits these straddle: 1 KB first slabs, slabs mapped from
# 256 KB, objects of their own from 256 KB, slabs of at most 1 MB.
CASES = [
    (1, [5000, 100_000], 10, 0),  # the shape real data crashed on
    (1, [5000, 100_000], 10, 20_000),
    (3, [KB], 1, 0),
    (3, [KB] * 40, 60, 0),  # past the indexed attribute list
    (2, [64 * KB - 1, 64 * KB + 1], 30, 0),
    (2, [255 * KB], 8, 100),
    (2, [256 * KB], 8, 0),
    (2, [257 * KB], 8, 3000),
    (1, [MB - 100], 3, 0),
    (1, [MB + 100, 10], 3, 50_000),
    (1, [3 * MB], 2, 0),
    (4, [100] * 3000, 3, 0),  # a 300 KB tag of many short attributes
    (100_000, [10, 300 * KB, 10], 4, 10),  # long keys too
]


def value(i, length, refs):
    if not refs:
        return chr(ord("a") + i % 26) * length
    # Decoded values are shorter than their source: a reference at each end
    # and some inside, the length counted in source bytes.
    body = ("x&amp;y" * (length // 7 + 1))[: max(0, length - 12)]
    return "&lt;" + body.rsplit("&", 1)[0] + "&#233;&gt;"


def document(key_len, values, tags, before, refs):
    attrs = "".join(f' {"k" * key_len}{i}="{value(i, n, refs)}"' for i, n in enumerate(values))
    return "<r>" + "<e x='1'>t</e>" * before + f"<p{attrs}/>" * tags + "</r>"


def ids(case):
    key_len, values, tags, before = case
    return f"key{key_len}-{len(values)}x{max(values)}-{tags}tags-{before}before"


@pytest.mark.parametrize("refs", [False, True], ids=["plain", "refs"])
@pytest.mark.parametrize("case", CASES, ids=ids)
def test_large_start_tags_read_as_elementtree_reads_them(case, refs, tmp_path):
    text = document(*case, refs)
    data = text.encode()
    want = ET.fromstring(data)
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    for read in (lambda: arbolite.read_string(text, "r"), lambda: arbolite.read_string(data, "r"),
                 lambda: arbolite.read_file(path, "r")):
        assert_same_as_etree(read(), want)
    wanted_p = want.findall("p")
    for stream in (arbolite.iter_string(text, "p"), arbolite.iter_string(data, "p"), arbolite.iter_file(path, "p"),
                   arbolite.iter_file(ReadChunks(data, 4093), "p"), arbolite.iter_file(ReadChunks(data, 300 * KB), "p")):
        got = list(stream)
        assert len(got) == len(wanted_p)
        for node, element in zip(got, wanted_p):
            assert_same_as_etree(node, element)
