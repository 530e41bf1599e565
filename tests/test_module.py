"""Module entry and registration: __all__, documentation, signatures, the type
objects' shape, and re-import."""

import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import arbolite

FULL_ALL = [
    "SearchType", "Node", "read_file", "read_string", "write_file", "write_string", "ParseError", "iter_file", "iter_string",
]

FUNCTION_SIGNATURES = {
    "read_file": "(file_path, root_tag)",
    "read_string": "(xml_string, root_tag)",
    "write_file": "(node, file_path, indent=None, default_xml_def=None)",
    "write_string": "(node, indent=None, default_xml_def=None)",
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


def test_module_doc_is_empty_string():
    assert arbolite.__doc__ == ""
    assert arbolite.__name__ == "arbolite"


@pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
def test_function_signature_and_module(name):
    function = getattr(arbolite, name)
    assert function.__name__ == name
    assert function.__module__ == "arbolite"
    assert function.__text_signature__ == FUNCTION_SIGNATURES[name]
    assert str(inspect.signature(function)) == FUNCTION_SIGNATURES[name]
    # The docstring carries the signature and nothing else.
    assert function.__doc__ is None


@pytest.mark.parametrize("cls, name", [(arbolite.Node, "Node"), (arbolite.SearchType, "SearchType")])
def test_class_identity(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__bases__ == (object,)
    # Neither an instance dictionary nor weak references.
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_node_signature():
    assert arbolite.Node.__text_signature__ == "(name, attrs=None, children=None, text=None)"
    assert str(inspect.signature(arbolite.Node)) == "(name, attrs=None, children=None, text=None)"


def test_search_type_has_no_doc():
    assert arbolite.SearchType.__doc__ is None


@pytest.mark.parametrize(
    "method, signature",
    [
        ("__to_string", "($self, spacing=None)"),
        ("search_by_name", "($self, name, depth=None)"),
        ("search_by_attr", "($self, key, depth=None)"),
        ("search_by_text", "($self, text, depth=None)"),
        ("search", "($self, by, value, depth=None)"),
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


def test_reimport_reuses_type_objects():
    old = sys.modules.pop("arbolite")
    try:
        new = importlib.import_module("arbolite")
        assert new is not old
        assert new.Node is old.Node
        assert new.SearchType is old.SearchType
        for member in ("Tag", "Attr", "Text"):
            assert getattr(new.SearchType, member) is getattr(old.SearchType, member)
        assert new.__all__ == old.__all__
        assert new.__all__ is not old.__all__
        # A node made through either module object is the same kind of thing.
        assert type(new.Node("a")) is old.Node
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
