"""The argument rules shared by every entry point: matching positional and
keyword arguments, the fixed messages, and the note that names the argument
whose conversion failed."""

import pytest

import arbolite
from arbolite import Node, SearchType

N = Node("n", {"k": "v"}, [Node("c")], "t")


read_string = arbolite.read_string
read_file = arbolite.read_file
write_string = arbolite.write_string
write_file = arbolite.write_file
to_string = getattr(N, "__to_string")

# (callable, positional args, keyword args, expected TypeError message)
MATCHING_ERRORS = [
    # Missing required arguments: one name, two names ("and"), and every
    # missing name is listed in parameter order whatever else was given.
    (Node, (), {}, "Node.__new__() missing 1 required positional argument: 'name'"),
    (Node, (), {"text": "x", "attrs": None}, "Node.__new__() missing 1 required positional argument: 'name'"),
    (N.search, (), {}, "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (N.search, (), {"depth": 1}, "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (N.search, (SearchType.Tag,), {}, "Node.search() missing 1 required positional argument: 'value'"),
    (N.search, (), {"value": "x"}, "Node.search() missing 1 required positional argument: 'by'"),
    (N.search_by_name, (), {}, "Node.search_by_name() missing 1 required positional argument: 'name'"),
    (N.search_by_attr, (), {"depth": 0}, "Node.search_by_attr() missing 1 required positional argument: 'key'"),
    (N.search_by_text, (), {}, "Node.search_by_text() missing 1 required positional argument: 'text'"),
    (read_string, ("x",), {}, "read_string() missing 1 required positional argument: 'root_tag'"),
    (read_string, (), {}, "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'"),
    (read_file, (), {"root_tag": "r"}, "read_file() missing 1 required positional argument: 'file_path'"),
    (write_string, (), {}, "write_string() missing 1 required positional argument: 'node'"),
    (write_file, (), {}, "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
    # Too many positional arguments: "takes N" when all are required, else
    # "takes from R to N"; checked before any keyword.
    (Node, ("a", None, None, None, None), {}, "Node.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (Node, (1, 2, 3, 4, 5, 6), {"nope": 1}, "Node.__new__() takes from 1 to 4 positional arguments but 6 were given"),
    (N.search, (1, 2, 3, 4), {}, "Node.search() takes from 2 to 3 positional arguments but 4 were given"),
    (N.search_by_name, ("a", 1, 2), {}, "Node.search_by_name() takes from 1 to 2 positional arguments but 3 were given"),
    (to_string, (1, 2), {}, "Node.__to_string() takes from 0 to 1 positional arguments but 2 were given"),
    (read_string, ("a", "b", "c"), {}, "read_string() takes 2 positional arguments but 3 were given"),
    (write_string, (N, 1, 2, 3), {}, "write_string() takes from 1 to 3 positional arguments but 4 were given"),
    # Unexpected keywords: exact, case-sensitive names; no prefix matching.
    (Node, ("a",), {"nam": "b"}, "Node.__new__() got an unexpected keyword argument 'nam'"),
    (Node, (), {"Name": "a"}, "Node.__new__() got an unexpected keyword argument 'Name'"),
    (Node, ("a",), {"texts": "x"}, "Node.__new__() got an unexpected keyword argument 'texts'"),
    (Node, ("a",), {"": "x"}, "Node.__new__() got an unexpected keyword argument ''"),
    (Node, (), {"nope": 1}, "Node.__new__() got an unexpected keyword argument 'nope'"),
    (N.search_by_name, ("a",), {"deep": 1}, "Node.search_by_name() got an unexpected keyword argument 'deep'"),
    (to_string, (), {"width": 2}, "Node.__to_string() got an unexpected keyword argument 'width'"),
    (to_string, (), {"spacin": 2}, "Node.__to_string() got an unexpected keyword argument 'spacin'"),
    # A keyword that cannot be encoded matches nothing and is shown as given.
    (Node, ("a",), {"\udc80": 1}, "Node.__new__() got an unexpected keyword argument '\udc80'"),
    (N.search_by_text, ("a",), {"\udc80": 1}, "Node.search_by_text() got an unexpected keyword argument '\udc80'"),
    # Keywords are examined in the order given; the first error wins.
    (Node, (), {"zeta": 1, "alpha": 2}, "Node.__new__() got an unexpected keyword argument 'zeta'"),
    (Node, ("a",), {"nope": 1, "name": "b"}, "Node.__new__() got an unexpected keyword argument 'nope'"),
    (Node, ("a",), {"name": "b", "nope": 1}, "Node.__new__() got multiple values for argument 'name'"),
    (
        read_string,
        (),
        {"xml_string": "a", "xml_string2": "b", "root_tag": "r"},
        "read_string() got an unexpected keyword argument 'xml_string2'",
    ),
    # A slot filled by position cannot be given again by keyword.
    (Node, ("a",), {"name": "b"}, "Node.__new__() got multiple values for argument 'name'"),
    (Node, ("a", None, None, "t"), {"text": "u"}, "Node.__new__() got multiple values for argument 'text'"),
    (N.search_by_name, ("a", 1), {"depth": 2}, "Node.search_by_name() got multiple values for argument 'depth'"),
    (N.search, (SearchType.Tag,), {"by": SearchType.Tag, "value": "x"}, "Node.search() got multiple values for argument 'by'"),
    (to_string, (1,), {"spacing": 1}, "Node.__to_string() got multiple values for argument 'spacing'"),
    # Matching errors come before conversion errors.
    (Node, (1,), {"nope": 1}, "Node.__new__() got an unexpected keyword argument 'nope'"),
    (N.search, ("Tag",), {}, "Node.search() missing 1 required positional argument: 'value'"),
]


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    MATCHING_ERRORS,
    ids=[f"{i}-{m.split(' ', 1)[0]}" for i, (_, _, _, m) in enumerate(MATCHING_ERRORS)],
)
def test_matching_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)
    # Only conversion failures carry a note.
    assert not hasattr(info.value, "__notes__")


# (callable, positional args, keyword args, exception type, message or None, parameter named in the note)
CONVERSION_ERRORS = [
    (Node, (1,), {}, TypeError, "'int' object is not an instance of 'str'", "name"),
    (Node, (None,), {}, TypeError, "'None' is not an instance of 'str'", "name"),
    (Node, (b"a",), {}, TypeError, "'bytes' object is not an instance of 'str'", "name"),
    (Node, ("\udc80",), {}, UnicodeEncodeError, None, "name"),
    (Node, ("a", [("k", "v")]), {}, TypeError, "'list' object is not an instance of 'dict'", "attrs"),
    (Node, ("a", {"k": 1}), {}, TypeError, "'int' object is not an instance of 'str'", "attrs"),
    (Node, ("a", {1: "v"}), {}, TypeError, "'int' object is not an instance of 'str'", "attrs"),
    # The key is checked before its value.
    (Node, ("a", {1.5: 2}), {}, TypeError, "'float' object is not an instance of 'str'", "attrs"),
    (Node, ("a", {"k": "\udc80"}), {}, UnicodeEncodeError, None, "attrs"),
    (Node, ("a",), {"children": "xy"}, TypeError, "Can't extract `str` to `Vec`", "children"),
    (Node, ("a",), {"children": [1]}, TypeError, "'int' object is not an instance of 'Node'", "children"),
    (Node, ("a",), {"children": [N, None]}, TypeError, "'None' is not an instance of 'Node'", "children"),
    (Node, ("a",), {"children": 5}, TypeError, "'int' object is not an instance of 'Sequence'", "children"),
    (Node, ("a",), {"children": {N}}, TypeError, "'set' object is not an instance of 'Sequence'", "children"),
    (Node, ("a",), {"children": (x for x in [N])}, TypeError, "'generator' object is not an instance of 'Sequence'", "children"),
    (Node, ("a",), {"text": 1}, TypeError, "'int' object is not an instance of 'str'", "text"),
    (Node, ("a",), {"text": "\udc80"}, UnicodeEncodeError, None, "text"),
    # Slots are converted in parameter order.
    (Node, (1, 2, 3, 4), {}, TypeError, "'int' object is not an instance of 'str'", "name"),
    (Node, ("a", 2, 3, 4), {}, TypeError, "'int' object is not an instance of 'dict'", "attrs"),
    (Node, ("a", None, 3, 4), {}, TypeError, "'int' object is not an instance of 'Sequence'", "children"),
    (N.search, ("Tag", "x"), {}, TypeError, "'str' object is not an instance of 'SearchType'", "by"),
    (N.search, (0, "x"), {}, TypeError, "'int' object is not an instance of 'SearchType'", "by"),
    (N.search, (None, "x"), {}, TypeError, "'None' is not an instance of 'SearchType'", "by"),
    (N.search, ("Tag", 1, 1.5), {}, TypeError, "'str' object is not an instance of 'SearchType'", "by"),
    (N.search, (SearchType.Tag, 1, 1.5), {}, TypeError, "'int' object is not an instance of 'str'", "value"),
    (N.search, (SearchType.Attr, None), {}, TypeError, "'None' is not an instance of 'str'", "value"),
    (N.search_by_name, (1,), {"depth": 1.5}, TypeError, "'int' object is not an instance of 'str'", "name"),
    (N.search_by_attr, (None,), {}, TypeError, "'None' is not an instance of 'str'", "key"),
    (N.search_by_text, (b"t",), {}, TypeError, "'bytes' object is not an instance of 'str'", "text"),
    (N.search_by_text, ("\udc80",), {}, UnicodeEncodeError, None, "text"),
    (N.search_by_name, ("a", 1.5), {}, TypeError, None, "depth"),
    (N.search_by_name, ("a", "1"), {}, TypeError, None, "depth"),
    (N.search_by_name, ("a", 2**31), {}, OverflowError, "out of range integral type conversion attempted", "depth"),
    (N.search_by_attr, ("a", -(2**31) - 1), {}, OverflowError, "out of range integral type conversion attempted", "depth"),
    (N.search, (SearchType.Text, "a", 2**64), {}, OverflowError, None, "depth"),
    (to_string, (256,), {}, OverflowError, "out of range integral type conversion attempted", "spacing"),
    (to_string, (-1,), {}, OverflowError, "out of range integral type conversion attempted", "spacing"),
    (to_string, (2**70,), {}, OverflowError, None, "spacing"),
    (to_string, (1.0,), {}, TypeError, None, "spacing"),
    (to_string, ("1",), {}, TypeError, None, "spacing"),
]


@pytest.mark.parametrize(
    "func, args, kwargs, exc_type, message, parameter",
    CONVERSION_ERRORS,
    ids=[f"{i}-{row[5]}" for i, row in enumerate(CONVERSION_ERRORS)],
)
def test_conversion_errors_carry_one_note(func, args, kwargs, exc_type, message, parameter):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


class _FailingSequence:
    """A sequence whose iteration raises midway."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return N
        raise LookupError("boom")


def test_error_from_children_iteration_passes_through_with_note():
    with pytest.raises(LookupError) as info:
        Node("a", children=_FailingSequence())
    assert str(info.value) == "boom"
    assert info.value.__notes__ == ["while processing 'children'"]


def test_existing_notes_are_kept():
    err = LookupError("boom")
    err.add_note("first")

    class Raising:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise err

    with pytest.raises(LookupError) as info:
        Node("a", children=Raising())
    assert info.value is err
    assert info.value.__notes__ == ["first", "while processing 'children'"]


def test_failing_call_is_repeatable():
    # The same error every time: nothing is left behind by the first failure.
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            Node("a", children=[N, 1])
        assert info.value.__notes__ == ["while processing 'children'"]
