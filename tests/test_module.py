"""Module entry and registration: __all__, names, version, documentation,
signatures, the type objects' shape, and re-import."""

import importlib
import importlib.metadata
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import arbolite

# The six first names are the original ones, in their order; later names follow.
FULL_ALL = [
    "SearchType", "Node", "read_file", "read_string", "write_file", "write_string",
    "ParseError", "InternalError", "iter_file", "iter_string", "parse_dict", "unparse_dict", "read_dict",
]

FUNCTION_SIGNATURES = {
    "read_file": "(file_path, root_tag)",
    "read_string": "(xml_string, root_tag)",
    "read_dict": "(xml_string, root_tag)",
    "write_file": "(node, file_path, indent=None, default_xml_def=None, *, pretty=True)",
    "write_string": "(node, indent=None, default_xml_def=None, *, pretty=True)",
}


def test_all_lists_registered_names_in_order():
    assert arbolite.__all__ == FULL_ALL
    assert all(hasattr(arbolite, n) for n in FULL_ALL)
    assert type(arbolite.__all__) is list


def test_star_import_gives_exactly_all():
    namespace = {}
    exec("from arbolite import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(arbolite.__all__)
    assert namespace["Node"] is arbolite.Node
    assert namespace["SearchType"] is arbolite.SearchType


def test_module_doc_introduces_every_public_name():
    assert arbolite.__name__ == "arbolite"
    doc = arbolite.__doc__
    assert doc.splitlines()[0] == "Immutable XML trees: read, search, convert and write."
    for name in FULL_ALL:
        assert re.search(rf"\b{name}\b", doc), name


def test_version_is_the_package_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", arbolite.__version__)
    pyproject = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "pyproject.toml")
    with open(pyproject, encoding="utf-8") as f:
        assert re.search(rf'^version = "{re.escape(arbolite.__version__)}"$', f.read(), re.M)
    try:
        installed = importlib.metadata.version("arbolite")
    except importlib.metadata.PackageNotFoundError:
        return  # a development build, not installed
    if os.path.realpath(arbolite.__file__).startswith(os.path.realpath(sys.prefix)):
        assert installed == arbolite.__version__


def test_internal_error_is_the_class_raised_for_bugs():
    cls = arbolite.InternalError
    assert cls.__module__ == "arbolite" and cls.__qualname__ == "InternalError"
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__

    class Mutating:
        """A sequence whose iteration changes the node dict that holds it."""

        def __init__(self, d):
            self.d = d

        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            self.d["more"] = "x"
            return iter(())

    d = {}
    d["children"] = Mutating(d)
    with pytest.raises(arbolite.InternalError, match="^dictionary changed size during iteration$"):
        arbolite.Node.from_dict(d)


@pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
def test_function_signature_and_module(name):
    function = getattr(arbolite, name)
    assert function.__name__ == name
    assert function.__module__ == "arbolite"
    assert function.__text_signature__ == FUNCTION_SIGNATURES[name]
    assert str(inspect.signature(function)) == FUNCTION_SIGNATURES[name]
    # The docstring is the signature, then a description.
    assert function.__doc__ and not function.__doc__.startswith(name)


@pytest.mark.parametrize("cls, name", [(arbolite.Node, "Node"), (arbolite.SearchType, "SearchType")])
def test_class_identity(cls, name):
    assert cls.__module__ == "arbolite"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__bases__ == (object,)
    # Neither an instance dictionary nor weak references.
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_node_signature():
    assert arbolite.Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"
    assert str(inspect.signature(arbolite.Node)) == "(name, attrs=None, children=None, text=None)"


def test_search_type_doc_names_its_members():
    doc = arbolite.SearchType.__doc__
    assert all(f"SearchType.{m}" in doc for m in ("Tag", "Attr", "Text"))
    # It cannot be called, so it has no signature, as before.
    assert arbolite.SearchType.__text_signature__ is None


def documented_members():
    """Every method and property of the classes, and the module's functions."""
    for cls in (arbolite.Node, arbolite.SearchType):
        for name, member in vars(cls).items():
            if name in ("__doc__", "__new__", "__module__") or name in ("Tag", "Attr", "Text"):
                continue
            if callable(member) or isinstance(member, type(arbolite.Node.name)):
                yield pytest.param(member, id=f"{cls.__name__}.{name}")
    for name in ("read_file", "read_string", "write_file", "write_string", "_restore_node"):
        yield pytest.param(getattr(arbolite, name), id=name)


@pytest.mark.parametrize("member", list(documented_members()))
def test_everything_has_a_doc_after_its_signature(member):
    assert member.__doc__ and member.__doc__.strip(), member
    if not isinstance(member, type(arbolite.Node.name)):  # properties have no signature
        assert member.__text_signature__, member
        inspect.signature(member)
        assert not member.__doc__.startswith(member.__name__ + "(")


def test_help_reads_as_a_reference():
    text = pydoc.render_doc(arbolite, renderer=pydoc.plaintext)
    for expected in (
        "Immutable XML trees",
        "read_string(xml_string, root_tag)",
        "write_file(node, file_path, indent=None, default_xml_def=None, *, pretty=True)",
        "class Node(builtins.object)",
        "search_by_attr(self, /, key, depth=None)",
        "Children are shared references",
        "class SearchType(builtins.object)",
        "class InternalError(builtins.BaseException)",
        f"VERSION\n    {arbolite.__version__}",
    ):
        assert expected in text, expected


@pytest.mark.parametrize(
    "method, signature",
    [
        ("__to_string", "($self, spacing=None)"),
        ("search_by_name", "($self, name, depth=None)"),
        ("search_by_attr", "($self, key, depth=None)"),
        ("search_by_text", "($self, text, depth=None)"),
        ("search", "($self, by, value, depth=None)"),
        ("find", "($self, path, namespaces=None)"),
        ("findall", "($self, path, namespaces=None)"),
        ("findtext", "($self, path, default=None, namespaces=None)"),
        ("iterfind", "($self, path, namespaces=None)"),
    ],
)
def test_node_method_signatures(method, signature):
    assert getattr(arbolite.Node, method).__text_signature__ == signature


def test_children_property_doc():
    assert arbolite.Node.children.__doc__ == "Children are shared references to the same nodes, not copies."


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: arbolite.SearchType(), id="SearchType()"),
        pytest.param(lambda: type(arbolite.SearchType.Tag)(), id="type(member)()"),
        pytest.param(lambda: type("X", (arbolite.Node,), {}), id="subclass-Node"),
        pytest.param(lambda: type("X", (arbolite.SearchType,), {}), id="subclass-SearchType"),
    ],
)
def test_cannot_instantiate_or_subclass(make):
    with pytest.raises(TypeError):
        make()


def test_subclass_statement_raises():
    with pytest.raises(TypeError):

        class X(arbolite.Node):
            pass


@pytest.mark.parametrize(
    "obj",
    [pytest.param(lambda: arbolite.Node("a"), id="Node"), pytest.param(lambda: arbolite.SearchType.Tag, id="member")],
)
def test_no_weak_references(obj):
    with pytest.raises(TypeError):
        weakref.ref(obj())


def test_reimport_makes_its_own_classes_and_takes_the_old_nodes():
    # Each module object has its classes (as each interpreter needs); nodes
    # and members from the old one are as good to the new one's functions.
    old = sys.modules.pop("arbolite")
    try:
        new = importlib.import_module("arbolite")
        assert new is not old and new.__all__ == old.__all__ and new.__all__ is not old.__all__
        assert new.Node is not old.Node and new.ParseError is not old.ParseError
        leaf = old.Node("a", {"k": "v"}, text="t")
        tree = new.Node("r", children=[leaf])
        assert type(tree) is new.Node and tree.children == [leaf]
        assert new.write_string(tree, 0) == old.write_string(tree, 0)
        assert tree.search(old.SearchType.Tag, "a") == tree.search(new.SearchType.Tag, "a") == [leaf]
        with pytest.raises(new.ParseError):
            new.read_string("<r>", "r")
    finally:
        sys.modules["arbolite"] = old


def test_only_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run(
        [nm, "-D", "--defined-only", arbolite.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_arbolite"]
