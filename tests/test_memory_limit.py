"""Running out of memory: under an address-space limit a read of a document
too large for it, or a write (or outline, or dict) of a tree too large for it,
raises MemoryError, again when repeated, and leaves the interpreter working:
small reads and writes still give the results they gave before, under the
same limit, and no node is left alive by the failed calls. The same
operations on inputs that fit give, under the limit, the results they give
without one. Each case runs in its own interpreter, which sets its own limit
(soft only, so it can lift it) at its current size plus a headroom; what it
saw comes back as JSON."""

import json

import pytest

pytestmark = pytest.mark.address_limit

CHILD = """
import json, resource, sys
import arbolite
from arbolite import Node

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")

SMALL = "<r a='1' b='&lt;2&gt;'><c>t &amp; u</c><c/><d k='v'>x</d></r>"

def small_work():
    tree = arbolite.read_string(SMALL, "r")
    return [tree.to_dict(), arbolite.write_string(tree, 2, False), str(tree),
            [n.text for n in tree.search_by_name("c")], Node.from_dict(tree.to_dict()).to_dict()]

def comparable(value):
    return arbolite.write_string(value) if isinstance(value, Node) else value

MB = 1 << 20
expected = small_work()
need = None  # a lower bound, in bytes, on what the attempt must hold at once, where one is known
"""

AFTER = """
reference = comparable(attempt()) if FITS else None  # without a limit
nodes = sys.getrefcount(Node)  # each live node holds a reference to its class
report = {"need": need, "runs": []}
for headroom in HEADROOMS:
    limit = vm_size() + headroom * MB
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    seen = []
    for _ in range(2):
        try:
            seen.append("same result" if comparable(attempt()) == reference else "other result")
        except MemoryError:
            seen.append("MemoryError")
    same = small_work() == expected
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    report["runs"].append({"headroom": headroom, "seen": seen, "same": same,
                           "nodes_left": sys.getrefcount(Node) - nodes})
print(json.dumps(report))
"""

# Every element costs a node of at least 56 bytes, so five million of them
# need more than the largest headroom below; the huge-text and write cases
# state their bounds as `need` too.
WIDE = """
doc = "<r>" + "<a b='c'>t</a>" * 5_000_000 + "</r>"
need = 5_000_000 * 56
"""
FIT_DOC = """
doc = "<r>" + "<a b='c'>t &amp; u</a><b/>" * 25_000 + "</r>"
"""

BIG_TEXT = 'big = Node("c", {"k": "v"}, text="x" * (8 * MB))\nshared = Node("r", children=[big] * 32)\nneed = 32 * 8 * MB\n'
FIT_TEXT = 'big = Node("c", {"k": "v"}, text="x<&" * (MB // 4))\nshared = Node("r", children=[big] * 4)\n'

# (setup defining `attempt` and, where it can be bounded, `need`; headrooms in MB)
TOO_LARGE = [
    pytest.param(WIDE + 'attempt = lambda: arbolite.read_string(doc, "r")\n', [16, 64, 256], id="read_string-wide"),
    pytest.param(
        WIDE + 'open("doc.xml", "w").write(doc)\ndel doc\nattempt = lambda: arbolite.read_file("doc.xml", "r")\n',
        [16, 64, 256],
        id="read_file-wide",
    ),
    pytest.param(
        'doc = "<n>" * 1_000_000 + "</n>" * 1_000_000\nattempt = lambda: arbolite.read_string(doc, "n")\n',
        [16, 64, 160],
        id="read_string-million-deep",
    ),
    pytest.param(
        # The text has to be copied out of the document into the node.
        'doc = "<r>" + "x" * (128 * MB) + "</r>"\nneed = 128 * MB\nattempt = lambda: arbolite.read_string(doc, "r")\n',
        [16, 64],
        id="read_string-huge-text",
    ),
    pytest.param(BIG_TEXT + "attempt = lambda: arbolite.write_string(shared)\n", [32, 128], id="write_string-shared-text"),
    pytest.param(
        'leaf = Node("item", {"key": "value"}, text="text")\nmany = Node("r", children=[leaf] * 6_000_000)\n'
        "need = len(arbolite.write_string(leaf, 0, False)) * 6_000_000\n"
        "attempt = lambda: arbolite.write_string(many)\n",
        [32, 128],
        id="write_string-six-million-nodes",
    ),
    pytest.param(
        'one = Node("r", text="x" * (192 * MB))\nneed = 192 * MB\nattempt = lambda: arbolite.write_string(one)\n',
        [32, 128],
        id="write_string-one-huge-text",
    ),
    pytest.param(BIG_TEXT + "attempt = lambda: str(shared)\n", [32, 128], id="outline-shared-text"),
    pytest.param(BIG_TEXT + "attempt = shared.to_dict\n", [32, 128], id="to_dict-shared-text"),
]

# Inputs of a few MB, whose results need a few tens of MB at most.
FITTING = [
    pytest.param(FIT_DOC + 'attempt = lambda: arbolite.read_string(doc, "r")\n', [128], id="read_string"),
    pytest.param(
        FIT_DOC + 'open("doc.xml", "w").write(doc)\nattempt = lambda: arbolite.read_file("doc.xml", "r")\n',
        [128],
        id="read_file",
    ),
    pytest.param(FIT_TEXT + "attempt = lambda: arbolite.write_string(shared)\n", [128], id="write_string"),
    pytest.param(FIT_TEXT + "attempt = lambda: str(shared)\n", [128], id="outline"),
    pytest.param(FIT_TEXT + "attempt = shared.to_dict\n", [128], id="to_dict"),
]


def run_child(run_python, setup, headrooms, fits):
    result = run_python(CHILD, setup, f"HEADROOMS = {headrooms!r}\nFITS = {fits!r}", AFTER, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)
    assert [run["headroom"] for run in report["runs"]] == headrooms
    for run in report["runs"]:
        assert run["same"], run
        assert run["nodes_left"] == 0, run
    return report


@pytest.mark.parametrize("setup, headrooms", TOO_LARGE)
def test_out_of_memory_is_a_memory_error(run_python, tmp_path, monkeypatch, setup, headrooms):
    monkeypatch.chdir(tmp_path)  # the child's files go there
    report = run_child(run_python, setup, headrooms, fits=False)
    # Where the need can be bounded, it is beyond every headroom tried.
    assert report["need"] is None or report["need"] > max(headrooms) << 20, report
    for run in report["runs"]:
        assert run["seen"] == ["MemoryError", "MemoryError"], run


@pytest.mark.parametrize("setup, headrooms", FITTING)
def test_what_fits_is_done_under_the_limit(run_python, tmp_path, monkeypatch, setup, headrooms):
    monkeypatch.chdir(tmp_path)
    for run in run_child(run_python, setup, headrooms, fits=True)["runs"]:
        assert run["seen"] == ["same result", "same result"], run
