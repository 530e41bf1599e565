"""The benchmark helpers measure what they claim: fresh inputs really carry no
UTF-8 form, only calls are timed, rounds interleave, walks and searches cover
the same elements in every library, and the memory probe counts the tree
alone. Plus a smoke run of compare.py and chart.py."""

import json
import os
import subprocess
import sys
import time

import xml.etree.ElementTree as ET

import lxml.etree as LET
import matplotlib  # noqa: F401  (chart.py's; a test dependency: missing, the smoke run must fail, not skip)
import pytest
import xmltodict  # noqa: F401  (compare.py's)

import arbolite

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)
import common  # noqa: E402

NON_ASCII = "<r a='é'>" + "<x k='ü'>ñ</x>" * 50 + "</r>"


def cached(s):
    return sys.getsizeof(s) != sys.getsizeof((s + " ")[:-1])


def cache_utf8(s):
    """Gives `s` its UTF-8 form, as C code that asks the interpreter for it does."""
    import ctypes

    get = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    get.restype = ctypes.c_char_p
    get.argtypes = [ctypes.py_object, ctypes.c_void_p]
    get(s, None)


def test_fresh_str_is_uncached_and_stays_so_when_read():
    s = common.fresh_str(NON_ASCII)
    assert s == NON_ASCII and s is not NON_ASCII and not cached(s)
    # The reader converts a str from its own storage and leaves nothing on it.
    arbolite.read_string(s, "r")
    assert not cached(s)
    cache_utf8(s)
    assert cached(s)


def test_fresh_text_refuses_a_cached_copy(monkeypatch):
    fresh = common.FreshText(NON_ASCII)
    assert not cached(fresh())
    reused = common.fresh_str(NON_ASCII)
    cache_utf8(reused)
    monkeypatch.setattr(common, "fresh_str", lambda text: reused)
    with pytest.raises(AssertionError):
        fresh()


def test_sample_times_the_call_only():
    case = common.Case("x", lambda arg: arg, make_input=lambda: time.sleep(0.02))
    assert case.sample(3) < 0.005


def test_interleaved_rotates_the_order_and_gives_one_sample_per_round():
    order = []
    cases = [common.Case(k, lambda _, k=k: order.append(k)) for k in "abc"]
    samples = common.interleaved(cases, rounds=3, min_time=0)
    assert {k: len(v) for k, v in samples.items()} == {"a": 3, "b": 3, "c": 3}
    timed = order[6:]  # after two warm-up calls each
    assert timed == list("abc") + list("bca") + list("cab")


@pytest.mark.parametrize("doc, expected", [
    ("<?xml version='1.0'?><!-- c --><!DOCTYPE r><r/>", "r"),
    ("<x:root xmlns:x='urn:x'><x:a/></x:root>", "x:root"),
    ("\n<root\n a='1'>t</root>", "root"),
    ("<r><a></r>", "r"),  # the name is known before the error
])
def test_root_tag(doc, expected):
    assert common.root_tag(doc) == expected


@pytest.mark.parametrize("doc, error", [
    ("<?xml version='1.0'?>\n<!-- c -->\n<!DOCTYPE r SYSTEM 'r.dtd'>\n<r>x</r>", None),
    ("<!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>", ValueError),
])
def test_from_root_element(doc, error):
    if error:
        with pytest.raises(error):
            common.from_root_element(doc)
    else:
        assert common.from_root_element(doc) == "<r>x</r>"


def test_walks_visit_the_same_elements():
    doc = "<r a='1'><!-- c --><?p i?><b x='y'>t<c/></b><b/></r>"
    data = doc.encode()
    assert common.walk_arbolite(arbolite.read_string(doc, "r")) == 4
    assert common.walk_etree(ET.fromstring(data)) == 4
    assert common.walk_etree(LET.fromstring(data)) == 6  # lxml keeps the comment and the instruction
    assert common.count_elements(data) == 4


@pytest.mark.parametrize("doc, written, clark", [
    ("<r xmlns='urn:d'><m/><m/></r>", "m", "{urn:d}m"),
    ("<p:r xmlns:p='urn:p' xmlns:q='urn:q'><q:m/><p:m/></p:r>", "p:m", "{urn:p}m"),
    ("<r><m/></r>", "m", "m"),
])
def test_clark_name_finds_the_same_elements(doc, written, clark):
    root = LET.fromstring(doc.encode())
    assert common.clark_name(root, written) == clark
    tree = arbolite.read_string(doc, common.root_tag(doc))
    assert len(tree.search_by_name(written)) == len(list(ET.fromstring(doc).iter(clark)))


@pytest.mark.skipif(os.environ.get("ARBOLITE_SANITIZED") == "1",
                    reason="the sanitizer's allocator keeps freed memory in quarantine, so RSS says nothing")
def test_memory_probe_counts_the_tree_not_the_input(tmp_path):
    # 20 MB of non-ASCII text outside the element read: if the input or the
    # UTF-8 form the reader caches on it were counted, this would show.
    big = "ĳ" * 10_000_000
    path = tmp_path / "doc.xml"
    path.write_text(f"<w><pad>{big}</pad><r>" + "<e k='v'>t</e>" * 2000 + "</r></w>", encoding="utf-8")
    held, err = common.memory_held("arbolite", str(path), "r")
    assert err is None
    assert 0 < held < 5_000_000


def test_well_formed():
    assert common.well_formed(b"<r/>") is None
    assert common.well_formed(b"<r>&</r>") is not None


needs_corpus = pytest.mark.skipif(not os.path.isdir(common.CORPUS), reason="no corpus")


@needs_corpus
def test_compare_smoke(tmp_path):
    out = tmp_path / "r.json"
    run = subprocess.run([sys.executable, os.path.join(BENCH, "compare.py"), "--quick", "--rounds", "1",
                          "--only", "read,small,write,compact,search,findall,peers", "--files", "docbook.rng,iso_3166-2.xml",
                          "--json", str(out)],
                         capture_output=True, text=True, cwd=BENCH)
    assert run.returncode == 0, run.stderr
    assert "iso_3166-2.xml" in run.stdout and "not well-formed, skipped" in run.stdout
    results = json.loads(out.read_text())
    (row,) = results["search"]["rows"]
    assert len(set(row["hits"].values())) == 1
    # Every peer that is installed finds the same elements.
    (found,) = [r for r in results["peers"]["rows"] if r["row"] == "find by name"]
    assert len(set(found["hits"].values())) == 1
    assert {r["row"] for r in results["peers"]["rows"]} == {"parse bytes", "parse bytes + drop", "parse str",
                                                             "parse + walk", "to dict", "find by name"}
    (row,) = results["write"]["rows"]
    # Each library's rate comes from its own output, measured here.
    data = open(os.path.join(common.CORPUS, "docbook.rng"), "rb").read()
    et = ET.fromstring(data)
    ET.indent(et, space="    ")
    sizes = {
        "arbolite": arbolite.write_string(arbolite.read_string(data, "grammar")),
        "lxml": LET.tostring(LET.fromstring(data), pretty_print=True, encoding="unicode"),
        "ElementTree": ET.tostring(et, encoding="unicode"),
    }
    for lib, text in sizes.items():
        # Same seconds on both sides: only rounding may differ, so a size
        # counted in characters instead of UTF-8 bytes shows.
        assert row["MBps"][lib] == pytest.approx(len(text.encode()) / 1e6 / row["seconds"][lib], rel=1e-9), lib
    assert {s["measure"] for s in results["summary"]} == {"read", "small", "write", "compact", "search", "findall",
                                                          "peers"}
    # The sized documents are near their sizes.
    (row,) = results["small"]["rows"]
    assert 2_000 <= row["bytes"]["2 KB"] < 4_000 and 4_000_000 <= row["bytes"]["4 MB"] < 4_100_000
    (row,) = results["findall"]["rows"]
    assert all(q["hits"]["arbolite"] == q["hits"]["ElementTree"] > 0 for q in row["queries"]), row["queries"]

    png = tmp_path / "c.png"
    subprocess.run([sys.executable, os.path.join(BENCH, "chart.py"), "--from", str(out), "--out", str(png)],
                   check=True, capture_output=True)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"



def test_native_ab_reports_b_over_a_per_file(monkeypatch, capsys):
    """bench/native/ab.py: the ratio is B's speed over A's, and a file that
    one build did not read is left out."""
    sys.path.insert(0, os.path.join(BENCH, "native"))
    try:
        import ab
    finally:
        sys.path.pop(0)
    tsv = ("file\tbytes\telements\tparse_MBps\tmemcpy_MBps\tmemchr_MBps\tstatus\n"
           "a.xml\t10\t1\t{}\t1\t1\tok\nbad.xml\t10\t\t\t\t\tnot well-formed\n")
    assert ab.parse_tsv(tsv.format(100)) == {"a.xml": 100.0}
    speeds = {"A": {"a.xml": 100.0, "b.xml": 50.0}, "B": {"a.xml": 150.0}}
    monkeypatch.setattr(ab, "run", lambda binary, corpus, min_ms: speeds[binary])
    assert ab.main(["A", "B", "--pairs", "4"]) == 0
    out = capsys.readouterr().out
    assert "| a.xml | 100.0 | 1.500x |" in out
    assert "b.xml" not in out
    assert out.strip().endswith("median over files: 1.500x")
