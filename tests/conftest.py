"""Shared fixtures: a small tree for search tests, the outline worked example,
and a runner for code that must not take the test process down with it."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from types import SimpleNamespace

from pathlib import Path

import pytest

import arbolite
from arbolite import Node

# Set by the script that runs this suite against the sanitized build.
SANITIZED = os.environ.get("ARBOLITE_SANITIZED") == "1"
# The file that script built; the environment also holds the ordinary build.
EXPECTED_MODULE = os.environ.get("ARBOLITE_EXPECT_MODULE")
# The folder arbolite was imported from (the extension is the __init__ of the
# package folder arbolite/): a child interpreter given it first on its path
# imports the same build.
MODULE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(arbolite.__file__)))


def _check_module_file():
    """Refuses to run a sanitized session against any other build, here and
    (through scripts/sanitized_site/sitecustomize.py) in every child."""
    if not SANITIZED and not EXPECTED_MODULE:
        return
    if not EXPECTED_MODULE:
        raise pytest.UsageError("ARBOLITE_SANITIZED=1 without ARBOLITE_EXPECT_MODULE: the build under test is unchecked")
    got = os.path.realpath(arbolite.__file__)
    if got != os.path.realpath(EXPECTED_MODULE):
        raise pytest.UsageError(f"arbolite was imported from {got}, not from {EXPECTED_MODULE}")
    # The children are checked by the start-up hook; it must be the one in force here.
    hook = sys.modules.get("sitecustomize")
    check = getattr(hook, "SanitizedModuleCheck", None)
    if check is None or check not in sys.meta_path or getattr(hook, "EXPECTED", None) != EXPECTED_MODULE:
        raise pytest.UsageError(
            "the import check of scripts/sanitized_site/sitecustomize.py is not active, so the tests' "
            "child interpreters could load another build; put that folder on PYTHONPATH"
        )


def _check_installed():
    """Under scripts/test.sh, the package installed from the wheel is the one
    under test, not a build folder or the source tree."""
    if os.environ.get("ARBOLITE_EXPECT_INSTALLED") != "1":
        return
    site = os.path.realpath(sysconfig.get_paths()["platlib"])
    got = os.path.realpath(arbolite.__file__)
    if os.path.dirname(os.path.dirname(got)) != site:
        raise pytest.UsageError(f"arbolite was imported from {got}, not from the installed package in {site}")


# The Unicode White_Space property, which the reader trims from text;
# str.strip() without an argument would also remove U+001C..U+001F.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def assert_same_as_etree(node, element):
    """An arbolite tree against ElementTree's reading of the same document
    (without namespaces), under arbolite's rules: names and attributes as
    written and in order, the text the element's own character data trimmed
    of White_Space (None when nothing is left). Explicit stack; returns the
    number of elements compared."""
    stack = [(node, element, node.name)]
    count = 0
    while stack:
        a, x, path = stack.pop()
        count += 1
        assert a.name == x.tag, path
        assert list(a.attrs.items()) == list(x.attrib.items()), path
        text = ((x.text or "") + "".join(c.tail or "" for c in x)).strip(WHITE_SPACE)
        assert a.text == (text or None), path
        children = a.children
        assert len(children) == len(x), path
        stack.extend((c, d, f"{path}/{i}:{c.name}") for i, (c, d) in enumerate(zip(children, x)))
    return count


# The shared corpus of real documents (../shared/corpus beside the checkout).
CORPUS = Path(os.environ.get("ARBOLITE_CORPUS") or Path(__file__).resolve().parents[2] / "shared" / "corpus")
CORPUS_FILES = sorted(p for p in CORPUS.iterdir() if p.is_file() and p.suffix != ".md") if CORPUS.is_dir() else []


def written_root(data):
    """The name of a document's root element as written, prefix included."""
    from lxml import etree

    e = etree.fromstring(data)
    local = etree.QName(e).localname
    return f"{e.prefix}:{local}" if e.prefix else local


def preorder(node):
    """The places of node's subtree in document order (explicit stack). It
    holds no node once exhausted, so a tree walked with it stays unshared."""
    stack = [node]
    while stack:
        n = stack.pop()
        yield n
        stack.extend(reversed(n.children))


def pytest_configure(config):
    _check_module_file()
    _check_installed()


# Files whose every test times itself, counts another thread's progress or
# measures the process's memory; elsewhere such a test is marked alone itself.
# The thread tests switch the lock every 0.1 ms: beside another busy process
# each switch may wait for a core (under the sanitizers they took three times
# as long in the parallel part).
ALONE_FILES = {"test_hostile.py", "test_threads.py", "test_interpreters.py", "test_release.py",
               "test_memory_limit.py"}

# Under the sanitizers every allocation and access is checked, several times
# slower: that run reads the corpus's documents up to this size (every shape
# but the single-quoted one, which the fuzzers cover) and fewer generated
# examples; every other run reads all of it.
SANITIZED_CORPUS_BYTES = 1_200_000


def examples(n):
    """The hypothesis examples of a test that asks for n."""
    return max(10, n // 4) if SANITIZED else n


def _large_corpus_file(value):
    return (isinstance(value, Path) and value.parent.resolve() == CORPUS.resolve()
            and value.stat().st_size > SANITIZED_CORPUS_BYTES)


def pytest_collection_modifyitems(config, items):
    alone = pytest.mark.alone
    for item in items:
        if item.path.name in ALONE_FILES:
            item.add_marker(alone)
    if not SANITIZED:
        return
    # The address sanitizer reserves terabytes of shadow memory up front, so a
    # process under an address-space limit cannot even start its allocator.
    no_limit = pytest.mark.skip(reason="an address-space limit cannot hold the sanitizer's shadow memory")
    large = pytest.mark.skip(reason=f"the sanitized run reads corpus files up to {SANITIZED_CORPUS_BYTES} bytes")
    for item in items:
        if "address_limit" in item.keywords:
            item.add_marker(no_limit)
        params = getattr(item, "callspec", None)
        if params and any(_large_corpus_file(v) for v in params.params.values()):
            item.add_marker(large)

@pytest.fixture
def tree():
    """A five-node tree, pre-order root, a1, b1, c, b2:

    root  {id: r}                  no text
      a1  name a  {class: id}       text ""
        b1  name b  {id: ""}        text "x"
          c       {id: c1, lang: en} text "deep"
      b2  name b  {}                text "X"
    """
    c = Node("c", {"id": "c1", "lang": "en"}, text="deep")
    b1 = Node("b", {"id": ""}, [c], "x")
    a1 = Node("a", {"class": "id"}, [b1], "")
    b2 = Node("b", text="X")
    root = Node("root", {"id": "r"}, [a1, b2])
    return SimpleNamespace(root=root, a1=a1, b1=b1, c=c, b2=b2)


def _lines(*pairs):
    return "\n".join(" " * n + text for n, text in pairs)


@pytest.fixture
def outline_example():
    """The outline worked example: the tree and its outlines at widths 0 and 3."""
    c = Node("c")
    a = Node("a")
    b = Node("b", {"k": "v"}, [c])
    root = Node("root", {"id": "1"}, [a, b], "hi")
    width0 = _lines(
        (0, "Name: root"),
        (0, "Attributes:"),
        (0, "id: 1"),
        (0, "Text: hi"),
        (0, "Children:"),
        (2, "Name: a"),
        (0, ""),
        (2, "Name: b"),
        (2, "Attributes:"),
        (2, "k: v"),
        (2, "Children:"),
        (6, "Name: c"),
        (0, ""),
        (0, ""),
    )
    width3 = _lines(
        (3, "Name: root"),
        (3, "Attributes:"),
        (3, "id: 1"),
        (3, "Text: hi"),
        (3, "Children:"),
        (8, "Name: a"),
        (0, ""),
        (8, "Name: b"),
        (5, "Attributes:"),
        (5, "k: v"),
        (5, "Children:"),
        (12, "Name: c"),
        (0, ""),
        (0, ""),
    )
    return SimpleNamespace(root=root, width0=width0, width3=width3)


@pytest.fixture
def run_python():
    """Runs the code pieces, each dedented, joined, in a fresh interpreter that
    imports the same build of the module; returns the CompletedProcess. A
    crash there fails only the calling test."""

    def run(*pieces, timeout=600):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_ROOT, env.get("PYTHONPATH")) if p)
        return subprocess.run(
            [sys.executable, "-c", "\n".join(textwrap.dedent(p) for p in pieces)],
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


@pytest.fixture
def chain_setup():
    """Code that builds `root`, a chain of 1,000,000 nodes named "n", each the
    only child of the next; only the innermost node `leaf` has an attribute
    and a text."""
    return _CHAIN_SETUP


_CHAIN_SETUP = """
import sys
import arbolite
from arbolite import Node, SearchType
DEPTH = 1_000_000
leaf = Node("n", {"k": "v"}, text="t")
root = leaf
for _ in range(DEPTH - 1):
    root = Node("n", children=[root])
"""
