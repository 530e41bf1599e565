"""Node.find, findall, findtext and iterfind: ElementTree's path language.

ElementTree is the oracle. On every corpus file it reads, a generated set of
paths (every name; parent-child and descendant name pairs; every predicate
form; positions; ..) must select the elements its findall selects, compared
by their positions in document order (arbolite lists each once, in document
order; ElementTree may repeat one or list it out of order). Names are written
for ElementTree in its {uri}local form. Text predicates use only values on
which ElementTree's text of an element (all text below it, untrimmed) and
arbolite's (its own, trimmed) pick the same elements; where they differ, and
the other differences arbolite's rules make, one table shows both sides."""

import random
import xml.etree.ElementTree as ET

import pytest

import arbolite
from arbolite import Node
from conftest import CORPUS_FILES, preorder, written_root


def positions(found, order):
    return [order[id(n)] for n in found]


def et_positions(found, order):
    """ElementTree's matches as arbolite lists them: each once, in document order."""
    return sorted({order[id(e)] for e in found})


def quote(value):
    """A path literal of value, braces doubled for str.format."""
    value = value.replace("{", "{{").replace("}", "}}")
    return f"'{value}'" if "'" not in value else f'"{value}"'


class Corpus:
    """One document read by both, and the paths to ask of it: (arbolite's
    path, ElementTree's path) pairs."""

    def __init__(self, path):
        data = path.read_bytes()
        self.et = ET.fromstring(data)
        self.tree = arbolite.read_string(data, written_root(data))
        ours, theirs = list(preorder(self.tree)), list(self.et.iter())
        assert len(ours) == len(theirs)
        self.order = {id(n): i for i, n in enumerate(ours)}
        self.et_order = {id(e): i for i, e in enumerate(theirs)}
        # Written name -> ElementTree's names, and back; only names that map
        # one to one can be asked of both.
        forward, back = {}, {}
        for a, e in zip(ours, theirs):
            forward.setdefault(a.name, set()).add(e.tag)
            back.setdefault(e.tag, set()).add(a.name)
            keys = [k for k in a.attrs if k != "xmlns" and not k.startswith("xmlns:")]
            for k, ek in zip(keys, e.attrib):
                forward.setdefault("@" + k, set()).add("@" + ek)
                back.setdefault("@" + ek, set()).add("@" + k)
        self.clark = {w: next(iter(c)) for w, c in forward.items() if len(c) == 1 and len(back[next(iter(c))]) == 1}
        self.paths = []
        self._generate(ours, theirs, random.Random(path.name))

    def ask(self, template, *names):
        """template with {} for names ('@key' for attribute keys) and values
        already in place."""
        if all(n in self.clark for n in names):
            ours = template.format(*names)
            theirs = template.format(*(self.clark[n] for n in names))
            self.paths.append((ours, theirs))

    def _generate(self, ours, theirs, rng):
        def some(items, k):
            items = sorted(items)
            return items if len(items) <= k else rng.sample(items, k)

        names = sorted({a.name for a in ours})
        child_pairs, desc_pairs, attrs, repeated = set(), set(), set(), set()
        wide = False
        stack = [(self.tree, ())]
        while stack:
            n, above = stack.pop()
            kids = n.children
            for k, v in n.attrs.items():
                attrs.add((n.name, "@" + k, v))
            seen = set()
            # ElementTree's position test is linear in the siblings, so
            # positions among thousands would take it minutes.
            narrow = len(kids) <= 1000
            wide |= not narrow
            for c in kids:
                child_pairs.add((n.name, c.name))
                desc_pairs.update((a, c.name) for a in above + (n.name,))
                if c.name not in seen:
                    seen.add(c.name)
                elif narrow:
                    repeated.add((n.name, c.name))
                stack.append((c, above + (n.name,) if n.name not in above else above))
        # The text values on which the two texts agree everywhere.
        ours_by, theirs_by = {}, {}
        for i, (a, e) in enumerate(zip(ours, theirs)):
            ours_by.setdefault(a.text or "", set()).add(i)
            theirs_by.setdefault("".join(e.itertext()), set()).add(i)
        agreed = [v for v, at in ours_by.items() if theirs_by.get(v) == at and len(v) < 200 and "'" not in v]
        texts = {}
        for i in (min(ours_by[v]) for v in agreed):
            texts.setdefault(ours[i].name, set()).add(ours[i].text or "")
        parent_of = {c: p for p, c in child_pairs}

        for path in (".", "*", ".//*", "*/*", "*/..", ".//*/..", ".."):
            self.ask(path)
        for path in () if wide else (".//*[1]", "*[last()]", ".//*[last()-1]"):
            self.ask(path)
        for n in names:
            self.ask("{}", n)
            self.ask(".//{}", n)
        for n in some(names, 15):
            self.ask(".//{}/*", n)
            self.ask(".//{}/..", n)
        for p, c in some(child_pairs, 30):
            self.ask(".//{}/{}", p, c)
            self.ask(".//{}[{}]", p, c)
            self.ask(".//{}/{}/..", p, c)
            self.ask(".//{}/{}/../..", p, c)
        for a, d in some(desc_pairs, 20):
            self.ask(".//{}//{}", a, d)
            self.ask(".//{}//{}/..", a, d)
        for n, k, v in some(attrs, 12):
            self.ask(f".//{{}}[{{}}]", n, k)
            self.ask(f".//{{}}[{{}}={quote(v)}]", n, k)
            self.ask(f".//{{}}[{{}}!={quote(v)}]", n, k)
        for n, k, v in some(attrs, 4):
            self.ask(f".//*[{{}}={quote(v)}]/..", k)
        for n, values in some(texts.items(), 8):
            v = quote(sorted(values)[0])
            self.ask(f".//{{}}[.={v}]", n)
            self.ask(f".//{{}}[.!={v}]", n)
            if n in parent_of:
                self.ask(f".//{{}}[{{}}={v}]", parent_of[n], n)
                self.ask(f".//{{}}[{{}}!={v}]", parent_of[n], n)
        for p, c in some(repeated, 6):
            for position in ("1", "2", "last()", "last()-1"):
                self.ask(f".//{{}}/{{}}[{position}]", p, c)
            if not wide:
                self.ask(".//{}[2]/..", c)


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_findall_selects_what_elementtree_selects(path):
    try:
        corpus = Corpus(path)
    except ET.ParseError:
        with pytest.raises(ValueError):
            arbolite.read_file(path, "x")
        pytest.skip("not well-formed: ElementTree cannot read it")
    tree, et = corpus.tree, corpus.et
    assert len(corpus.paths) > 40
    got, wrong = {}, []
    for ours, theirs in corpus.paths:
        got[ours] = positions(tree.findall(ours), corpus.order)
        want = et_positions(et.findall(theirs), corpus.et_order)
        if got[ours] != want:
            wrong.append((ours, got[ours][:10], want[:10]))
    assert not wrong, wrong[:10]
    # The comparison is not vacuous: many paths select something.
    assert sum(1 for v in got.values() if v) >= 10
    # Held nodes make every node look shared: the weighed walk gives the same.
    held = list(preorder(tree))
    for ours, _ in corpus.paths[::7]:
        assert positions(tree.findall(ours), corpus.order) == got[ours], ours
        first = tree.find(ours)
        assert (first is None) == (not got[ours]) and (first is None or corpus.order[id(first)] == got[ours][0]), ours
    del held


# (document, path, arbolite's matches, ElementTree's matches), as positions
# in document order (ElementTree's as it gives them).
DIFFERENCES = [
    # Texts: arbolite compares the element's own text, trimmed, and an
    # element with no text as ''; ElementTree all the text below it, untrimmed.
    pytest.param("<r><a> x </a></r>", "a[.='x']", [1], [], id="text-trimmed"),
    pytest.param("<r><a><b>x</b></a></r>", "a[.='x']", [], [1], id="text-of-descendants"),
    pytest.param("<r><a>x<b>y</b></a></r>", "a[.='x']", [1], [], id="own-text-only"),
    pytest.param("<r><a>  </a></r>", "a[.='']", [1], [], id="white-space-only-is-empty"),
    # Names as written: ElementTree needs the {uri}local form for a prefixed name.
    pytest.param("<r xmlns:p='urn:p'><p:a/></r>", "p:a", [1], [], id="prefix-as-written"),
    pytest.param("<r xmlns='urn:d'><a/></r>", "a", [1], [], id="default-namespace-as-written"),
    # Each match once, in document order: ElementTree goes element by element.
    pytest.param("<r><a><a><b/></a><b/></a></r>", ".//a/b", [3, 4], [4, 3], id="document-order"),
    pytest.param("<r><a><a><b/></a></a></r>", ".//a//b", [3], [3, 3], id="each-once"),
]


@pytest.mark.parametrize("doc, path, ours, theirs", DIFFERENCES)
def test_documented_differences(doc, path, ours, theirs):
    tree, et = arbolite.read_string(doc, "r"), ET.fromstring(doc)
    order = {id(n): i for i, n in enumerate(preorder(tree))}
    et_order = {id(e): i for i, e in enumerate(et.iter())}
    assert positions(tree.findall(path), order) == ours
    assert [et_order[id(e)] for e in et.findall(path)] == theirs


URI_FORM = "names are matched as written, prefixes included: write 'prefix:name' as the document does, not '{uri}name'"

# (path, the offending characters [from, to) counted from 1, the message:
# None for ElementTree's, which raises SyntaxError for the path too; where it
# raises something else or reads the path, the one given).
MALFORMED = [
    pytest.param("/a", (1, 2), None, id="absolute"),
    pytest.param("//a", (1, 2), None, id="absolute-descendant"),
    pytest.param("a[@b=c]", (2, 8), None, id="unquoted-value"),
    pytest.param("a[*]", (2, 5), None, id="star-predicate"),
    pytest.param("a[b/c]", (2, 7), None, id="path-predicate"),
    pytest.param("a[]", (2, 4), None, id="empty-predicate"),
    pytest.param("a[0]", (3, 4), None, id="position-zero"),
    pytest.param("a[-2]", (3, 5), None, id="position-negative"),
    pytest.param("a[first()]", (3, 8), None, id="unknown-function"),
    pytest.param("a[last()-x]", (9, 11), None, id="bad-offset"),
    pytest.param("a[last()-0]", (9, 11), None, id="zero-offset"),
    pytest.param("a[last()+1]", (9, 11), None, id="positive-offset"),
    pytest.param(".//[1]", (4, 5), None, id="descendant-of-predicate"),
    pytest.param("é//.", (4, 5), None, id="descendant-of-self-counted-in-characters"),
    # ElementTree: KeyError, TypeError or nothing.
    pytest.param("@a", (1, 2), "invalid path", id="attribute-step"),
    pytest.param("a/=b", (3, 4), "invalid path", id="operator-step"),
    pytest.param("a[@b", (2, 5), "unterminated predicate", id="unterminated"),
    pytest.param("a!/b", (2, 3), "expected '=' after '!'", id="lone-bang"),
    pytest.param("{urn:x}a", (1, 9), URI_FORM, id="uri-name"),
    pytest.param("a/{urn:x}*", (3, 11), URI_FORM, id="uri-wildcard"),
    pytest.param("a[{urn:x}b]", (3, 11), URI_FORM, id="uri-in-predicate"),
]


@pytest.mark.parametrize("path, span, message", MALFORMED)
def test_malformed_path(path, span, message):
    if message is None:
        with pytest.raises(SyntaxError) as theirs:
            ET.fromstring("<r/>").findall(path)
        message = theirs.value.msg
    for call in ("find", "findall", "findtext", "iterfind"):
        with pytest.raises(SyntaxError) as info:
            getattr(Node("r"), call)(path)
        e = info.value
        assert (e.msg, e.text, e.lineno, (e.offset, e.end_offset)) == (message, path, 1, span), call


NS_DOC = (
    "<r xmlns:x='urn:x' xmlns='urn:d' xml:lang='en'><x:a id='1'/><b><x:a/><g xmlns='urn:d'/></b>"
    "<c xmlns:x='urn:other'><x:a/></c></r>"
)
COMMON = ("names are matched as written, prefixes included, so namespaces is accepted only where it agrees with the "
          "tree's own declarations: it maps ")

# (the receiver's position in NS_DOC, path, namespaces, what ElementTree
# finds with them, or the ValueError's message after its common part)
NAMESPACES = [
    pytest.param(0, ".//x:a", None, [1, 3, 6], id="none"),
    pytest.param(0, ".//x:a", {}, [1, 3, 6], id="empty"),
    pytest.param(5, "x:a", {"x": "urn:other"}, [6], id="declared-the-same"),
    pytest.param(0, "b/g", {"": "urn:d"}, [4], id="default-declared-the-same"),
    pytest.param(0, ".[@xml:lang]", {"xml": "http://www.w3.org/XML/1998/namespace"}, [0], id="xml-prefix"),
    # Only the prefixes the path uses are looked at.
    pytest.param(5, "x:a", {"x": "urn:other", "y": "urn:y", "": "urn:unused"}, [6], id="unused-prefixes"),
    pytest.param(2, "g", {"": "urn:d"}, "the default namespace ('') to 'urn:d', which the tree searched declares only "
                 "below the node searched from, outside of which names without a prefix are in no namespace",
                 id="default-declared-below-the-receiver"),
    pytest.param(0, "x:a", {"x": "urn:x"}, "'x' to 'urn:x', but the tree searched binds it to 'urn:other'",
                 id="declared-otherwise-below"),
    pytest.param(2, "x:a", {"x": "urn:x"}, "'x' to 'urn:x', which the tree searched does not declare",
                 id="declared-above-the-receiver"),
    pytest.param(0, "b", {"": "urn:e"}, "the default namespace ('') to 'urn:e', but the tree searched binds it to "
                 "'urn:d'", id="default-declared-otherwise"),
    pytest.param(0, ".[@xml:lang]", {"xml": "urn:xml"}, "'xml' to 'urn:xml', but the tree searched binds it to "
                 "'http://www.w3.org/XML/1998/namespace'", id="xml-prefix-rebound"),
]


@pytest.mark.parametrize("at, path, namespaces, expected", NAMESPACES)
def test_namespaces(at, path, namespaces, expected):
    top = arbolite.read_string(NS_DOC, "r")
    order = {id(n): i for i, n in enumerate(preorder(top))}
    receiver = next(n for n in preorder(top) if order[id(n)] == at)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            receiver.findall(path, namespaces)
        assert str(info.value).startswith(COMMON + expected + "; "), str(info.value)
        return
    et = ET.fromstring(NS_DOC)
    et_order = {id(e): i for i, e in enumerate(et.iter())}
    et_receiver = list(et.iter())[at]
    # Where a map is accepted, it finds what ElementTree finds with it.
    want = et_positions(et_receiver.findall(path, namespaces), et_order) if namespaces else expected
    assert want == expected
    assert positions(receiver.findall(path, namespaces=namespaces), order) == expected


def test_first_match_text_and_iterator():
    tree = arbolite.read_string("<r><a>one</a><a/><b>  </b></r>", "r")
    a = tree.children[0]
    assert tree.find("a") is a and tree.find("zzz") is None
    assert tree.findtext("a") == "one"
    assert tree.findtext("a[2]") == "" and tree.findtext("b") == ""
    default = object()
    assert tree.findtext("zzz") is None and tree.findtext("zzz", default) is default
    assert tree.findtext("zzz", default=default, namespaces=None) is default
    it = tree.iterfind(".//*")
    assert iter(it) is it and [n.name for n in it] == ["a", "a", "b"]
    # The tree's own nodes, once per place.
    shared = Node("c")
    root = Node("r", children=[shared, Node("p", children=[shared]), shared])
    assert [n is shared for n in root.findall(".//c")] == [True, True, True]
    assert root.findall("c[2]") == [shared]
    assert [n.name for n in root.findall("*[last()]")] == ["p", "c"] and root.findall("*[last()]")[1] is shared


@pytest.mark.parametrize(
    "call, exc_type, message, parameter",
    [
        (lambda n: n.findall(1), TypeError, "'int' object is not an instance of 'str'", "path"),
        (lambda n: n.find(None), TypeError, "'None' is not an instance of 'str'", "path"),
        (lambda n: n.findtext(b"a"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
        (lambda n: n.iterfind("\udc80"), UnicodeEncodeError, None, "path"),
        (lambda n: n.findall("a", [("x", "u")]), TypeError, "'list' object is not an instance of 'dict'", "namespaces"),
        (lambda n: n.find("a", {"x": 1}), TypeError, "'int' object is not an instance of 'str'", "namespaces"),
        (lambda n: n.findtext("a", None, {1: "u"}), TypeError, "'int' object is not an instance of 'str'", "namespaces"),
    ],
)
def test_argument_errors(call, exc_type, message, parameter):
    with pytest.raises(exc_type) as info:
        call(Node("r"))
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_a_shared_tree_matches_its_unshared_copy():
    # The same tree written out and read back has one node per place.
    leaf = Node("leaf", {"k": "v"}, text="t")
    built = leaf
    for i in range(8):
        built = Node("n", {"i": str(i)}, [built, Node("m", text=str(i)), built])
    copy = arbolite.read_string(arbolite.write_string(built), "n")
    for path in (".//leaf", ".//n[@i='3']/m", ".//leaf/..", ".//m[.='2']/../..", ".//n[1]", ".//n[last()]/leaf",
                 ".//*[leaf]", "n/n/n/..", ".//n[m='0']//leaf"):
        shared_places = [n.to_dict() for n in built.findall(path)]
        assert shared_places == [n.to_dict() for n in copy.findall(path)], path
        assert shared_places, path


def test_on_a_million_node_chain(run_python, chain_setup):
    result = run_python(
        chain_setup,
        """
        checks = [
            (len(root.findall(".//n")), DEPTH - 1),
            (root.findall(".//n[@k]") == [leaf], True),
            (root.find('.//*[.="t"]') is leaf, True),
            (len(root.findall(".//n/..")), DEPTH - 1),
            (root.findall(".//n[@k]/..")[0].children == [leaf], True),
            (root.findtext(".//n[@k]/../n"), "t"),
            (root.findall("n/n/n/../../.."), [root]),
        ]
        assert [got for got, _ in checks] == [want for _, want in checks], checks
        print("found")
        """,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "found\n"
