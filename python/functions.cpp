#include "python/functions.hpp"

namespace arbolite {
namespace {

#define ARBOLITE_FUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
// Each function is handed its module object, whose state it uses.
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"read_file", ARBOLITE_FUNCTION(read_file), kFlags,
     "read_file(file_path, root_tag)\n--\n\n"
     "Read the XML file at file_path (a str, bytes or os.PathLike) and return\n"
     "its first element named root_tag, as read_string does.\n\n"
     "The file is decoded by its byte-order mark, else its declared encoding,\n"
     "else as UTF-8. Raises the OSError subclass that the system error selects\n"
     "(FileNotFoundError, PermissionError, IsADirectoryError, ...), OSError for\n"
     "an undeclared file that is not valid UTF-8, UnicodeDecodeError for bytes\n"
     "that do not decode in the declared encoding, and ParseError (a\n"
     "ValueError) for malformed XML. The interpreter lock is released while\n"
     "the file is read and parsed."},
    {"read_string", ARBOLITE_FUNCTION(read_string), kFlags,
     "read_string(xml_string, root_tag)\n--\n\n"
     "Parse the XML document xml_string and return its first element\n"
     "named root_tag, in document order and at any depth, with its subtree.\n\n"
     "Only that element is built; the markup around it is checked lightly, and\n"
     "nothing after its end tag is read but to look for an unclosed tag. Text\n"
     "is trimmed of surrounding white space (text that is only white space\n"
     "gives None); entity references are decoded; DTDs are skipped, never\n"
     "expanded.\n\n"
     "xml_string is a str (text already: its declaration is not read) or a\n"
     "bytes-like object, decoded by its byte-order mark, else its declared\n"
     "encoding, else as UTF-8 (UnicodeDecodeError where it does not decode).\n"
     "Raises ParseError (a ValueError with position, byte and code) for\n"
     "malformed XML or a missing root_tag; offsets in its message count bytes\n"
     "of the document's UTF-8 form. The interpreter lock is released while\n"
     "parsing."},
    {"write_file", ARBOLITE_FUNCTION(write_file), kFlags,
     "write_file(node, file_path, indent=None, default_xml_def=None, *, pretty=True)\n--\n\n"
     "Write node and its subtree as XML to the file at file_path (a str, bytes\n"
     "or os.PathLike), created or truncated, in UTF-8 without a byte-order mark: the same text\n"
     "that write_string gives for the same arguments. Returns None; file errors\n"
     "raise the OSError subclass that the system error selects. The\n"
     "interpreter lock is released while writing."},
    {"write_string", ARBOLITE_FUNCTION(write_string), kFlags,
     "write_string(node, indent=None, default_xml_def=None, *, pretty=True)\n--\n\n"
     "Return node and its subtree as XML text.\n\n"
     "indent is the number of spaces per level (a non-negative int, default\n"
     "4); every tag that follows a tag starts a new line, and text stays on\n"
     "its element's line. default_xml_def (a bool, default True) puts the\n"
     "declaration <?xml version=\"1.0\" encoding=\"utf-8\"?> and a line break\n"
     "first. pretty=False (keyword only) writes the compact form instead: no\n"
     "white space that the tree does not hold, the declaration followed\n"
     "directly by the root; indent cannot be given with it. Text and\n"
     "attribute values are escaped; names are written as they are. The\n"
     "interpreter lock is released while writing."},
    {nullptr, nullptr, 0, nullptr},
};

// Added after the streaming functions, in this order, so __all__ grows at its end.
PyMethodDef kDictFunctions[] = {
    {"parse_dict", ARBOLITE_FUNCTION(parse_dict), kFlags,
     "parse_dict(xml, *, attr_prefix='@', cdata_key='#text', force_list=None, xml_attribs=True, "
     "strip_whitespace=True, force_cdata=False, dict_constructor=None)\n--\n\n"
     "Read the XML document xml and return xmltodict.parse's dictionary of it:\n"
     "{root name: value}, where an element without attributes or children is\n"
     "its text (or None), attributes are keys prefixed with attr_prefix, text\n"
     "beside them is under cdata_key, and repeated children become lists.\n\n"
     "xml is a str, a bytes-like object or a binary file object (read whole),\n"
     "decoded as read_string decodes it. force_list and force_cdata are a bool\n"
     "or a collection of names; strip_whitespace=False keeps all white space\n"
     "of every text; dict_constructor (None: dict) makes every mapping.\n"
     "Comments and processing instructions are dropped; DTDs\n"
     "are skipped, never expanded. Raises ParseError as read_string does."},
    {"unparse_dict", ARBOLITE_FUNCTION(unparse_dict), kFlags,
     "unparse_dict(mapping, *, attr_prefix='@', cdata_key='#text', pretty=False, indent='\\t', "
     "full_document=True, short_empty_elements=False)\n--\n\n"
     "Return the XML text that xmltodict.unparse gives for mapping.\n\n"
     "pretty puts each element on a line of its own, indented by indent (a str,\n"
     "or an int number of spaces) per level; full_document writes the\n"
     "declaration first and requires exactly one root; short_empty_elements\n"
     "writes <a/> for an element without content."},
    {"read_dict", ARBOLITE_FUNCTION(read_dict), kFlags,
     "read_dict(xml_string, root_tag)\n--\n\n"
     "Parse xml_string as read_string does and return what\n"
     "read_string(xml_string, root_tag).to_dict() returns, with the same\n"
     "errors, made straight from the parse: no Node tree is handed over.\n"
     "The interpreter lock is released while parsing."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return kFunctions; }
PyMethodDef* dict_functions() { return kDictFunctions; }

}  // namespace arbolite
