# Type information for the arbolite extension module (PEP 561: installed as
# arbolite/__init__.pyi beside the extension, with the py.typed marker).
# Checked against the built module by mypy's stubtest.
import os
from collections.abc import Buffer, Callable, Iterator, Mapping, Sequence
from types import TracebackType
from typing import Any, Final, Protocol, SupportsIndex, TypedDict, TypeVar, final, overload, type_check_only

__version__: str
__all__ = [
    "SearchType",
    "Node",
    "read_file",
    "read_string",
    "write_file",
    "write_string",
    "ParseError",
    "InternalError",
    "iter_file",
    "iter_string",
    "parse_dict",
    "unparse_dict",
    "read_dict",
]

# What open() takes as a file name.
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

_T = TypeVar("_T")

class _NodeDict(TypedDict):
    """The dict form of a node, as Node.to_dict gives it."""

    name: str
    attrs: dict[str, str]
    children: list[_NodeDict]
    text: str | None

@final
class SearchType:
    Tag: Final[SearchType]
    Attr: Final[SearchType]
    Text: Final[SearchType]
    def __int__(self) -> int: ...
    # Equal to its member value as an int too: SearchType.Attr == 1.
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __reduce__(self) -> str: ...

@final
class Node:
    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str: ...
    @property
    def attrs(self) -> dict[str, str]: ...
    @property
    def children(self) -> list[Node]: ...
    @property
    def text(self) -> str | None: ...
    def search(self, by: SearchType, value: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_name(self, name: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_attr(self, key: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_text(self, text: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    # ElementTree's path language, names as written; namespaces maps prefixes
    # to URIs and must agree with the tree's own declarations.
    def find(self, path: str, namespaces: dict[str, str] | None = None) -> Node | None: ...
    def findall(self, path: str, namespaces: dict[str, str] | None = None) -> list[Node]: ...
    @overload
    def findtext(self, path: str, default: None = None, namespaces: dict[str, str] | None = None) -> str | None: ...
    @overload
    def findtext(self, path: str, default: _T, namespaces: dict[str, str] | None = None) -> str | _T: ...
    def iterfind(self, path: str, namespaces: dict[str, str] | None = None) -> Iterator[Node]: ...
    def to_dict(self) -> _NodeDict: ...
    # A dict that to_dict gave is checked field by field; any other dict is
    # checked when the tree is built.
    @overload
    @classmethod
    def from_dict(cls, dict_: _NodeDict) -> Node: ...
    @overload
    @classmethod
    def from_dict(cls, dict_: dict[str, Any]) -> Node: ...
    # __to_string(spacing=None) is left out: a class body cannot spell that
    # name without mangling it to _Node__to_string. str(node) is the typed way.
    def __reduce__(self) -> tuple[Callable[[bytes], Node], tuple[bytes]]: ...
    def __copy__(self) -> Node: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Node: ...

class InternalError(BaseException):
    """A violated invariant of arbolite: a bug, never an input error."""

class ParseError(ValueError):
    """Malformed XML, or no element of the requested name."""

    # (line counted from 1, column counted from 0 in characters)
    position: tuple[int, int] | None
    # The 0-based byte offset the message gives, in the document's UTF-8 form.
    byte: int | None
    # A short stable name of the error kind, such as "mismatched_end_tag".
    code: str | None

# A binary file object: read(n) returning bytes, or readinto(buffer).
@type_check_only
class _Reader(Protocol):
    def read(self, size: int, /) -> bytes: ...

@type_check_only
class _ReaderInto(Protocol):
    def readinto(self, buffer: Buffer, /) -> int | None: ...

@final
@type_check_only
class _NodeStream(Iterator[Node]):
    """What iter_file and iter_string return (arbolite.NodeStream at run time)."""

    def __next__(self) -> Node: ...
    def close(self) -> None: ...
    def __enter__(self) -> _NodeStream: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def read_string(xml_string: str | Buffer, root_tag: str) -> Node: ...
def read_file(file_path: _Path, root_tag: str) -> Node: ...
# read_string(xml_string, root_tag).to_dict(), without the tree.
def read_dict(xml_string: str | Buffer, root_tag: str) -> _NodeDict: ...
# pretty=False writes the compact form; indent given with it is a TypeError.
def write_string(
    node: Node, indent: SupportsIndex | None = None, default_xml_def: bool | None = None, *, pretty: bool = True
) -> str: ...
def write_file(
    node: Node,
    file_path: _Path,
    indent: SupportsIndex | None = None,
    default_xml_def: bool | None = None,
    *,
    pretty: bool = True,
) -> None: ...
def iter_file(source: _Path | _Reader | _ReaderInto, tag: str) -> _NodeStream: ...
def iter_string(xml: str | Buffer, tag: str) -> _NodeStream: ...
@type_check_only
class _ReadAll(Protocol):
    """A file object parse_dict reads whole: read() gives bytes or str."""

    def read(self) -> bytes | str: ...

@type_check_only
class _Names(Protocol):
    """A collection of names that force_list and force_cdata ask with `in`."""

    def __contains__(self, name: str, /) -> bool: ...

def parse_dict(
    xml: str | Buffer | _ReadAll,
    *,
    attr_prefix: str = "@",
    cdata_key: str = "#text",
    force_list: bool | _Names | None = None,
    xml_attribs: bool = True,
    strip_whitespace: bool = True,
    force_cdata: bool | _Names = False,
    dict_constructor: Callable[..., Any] | None = None,
) -> Any: ...
def unparse_dict(
    mapping: Mapping[Any, Any],
    *,
    attr_prefix: str = "@",
    cdata_key: str = "#text",
    pretty: bool = False,
    indent: str | int = "\t",
    full_document: bool = True,
    short_empty_elements: bool = False,
) -> str: ...
def _restore_node(data: bytes, /) -> Node: ...
