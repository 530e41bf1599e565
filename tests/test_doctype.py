"""A document type declaration is skipped as XML defines it: quoted literals,
and comments and processing instructions of the internal subset, are stepped
over whole, whatever they hold, so no markup inside it is read as the
document's. Each case against ElementTree's reading of the same document."""

import xml.etree.ElementTree as ET

import pytest

import arbolite
from conftest import assert_same_as_etree

DOCUMENTS = [
    '<!DOCTYPE doc [<!ENTITY e "<b>x</b>">]><doc>hi</doc>',
    '<!DOCTYPE doc [<!ENTITY e "<br/><doc>fake</doc>">]><doc>real</doc>',
    '<!DOCTYPE doc [<!ENTITY e "a > b">]><doc>t</doc>',
    '<!DOCTYPE doc [<!ENTITY e "]">]><doc>t</doc>',
    '<!DOCTYPE doc [<!ENTITY e "]]>">]><doc>t</doc>',
    "<!DOCTYPE doc [<!ENTITY e \"it's ]> <doc/>\"><!ENTITY f 'say \"]>\" <doc>'>]><doc>t</doc>",
    "<!DOCTYPE doc [<!-- ]> <doc>fake</doc> \" ' -->]><doc>t</doc>",
    "<!DOCTYPE doc [<?pi ]> <doc>fake</doc> ' ?>]><doc>t</doc>",
    # Nested declarations, a parameter entity and its reference.
    '<!DOCTYPE doc [<!ELEMENT doc (#PCDATA|b)*><!ATTLIST doc a CDATA #IMPLIED>'
    "<!ENTITY % pe \"<!ENTITY in '<doc>fake</doc>'>\">%pe;<!NOTATION n SYSTEM \"n>\">]><doc a='1'>t<b/></doc>",
    '<!DOCTYPE doc SYSTEM "doc>.dtd" [<!ENTITY e "x">]><doc>t</doc>',
    "<!DOCTYPE doc PUBLIC \"-//A//B\" 'x>.dtd'><doc>t</doc>",
    '<?xml version="1.0"?>\n<!DOCTYPE doc [\n  <!ENTITY e "<doc>">\n] >\n<!-- c --><doc>\n t \n</doc>\n',
    '<!DOCTYPE doc[<!ENTITY e "<doc>">]><doc/>',
]


@pytest.mark.parametrize("document", DOCUMENTS)
def test_the_subset_holds_no_markup_of_the_document(document):
    want = ET.fromstring(document)
    assert_same_as_etree(arbolite.read_string(document, "doc"), want)
    assert_same_as_etree(arbolite.read_string(document.encode(), "doc"), want)
    (streamed,) = arbolite.iter_string(document, "doc")
    assert_same_as_etree(streamed, want)


# (document, code): refused by ElementTree too.
REFUSED = [
    ('<!DOCTYPE doc [<!ENTITY e "x"><doc>t</doc>', "unterminated_doctype"),
    ('<!DOCTYPE doc [<!ENTITY e "]>"><doc>t</doc>', "unterminated_doctype"),
    ("<!DOCTYPE doc [<!-- ]> --><doc>t</doc>", "unterminated_doctype"),
    ("<!DOCTYPE doc SYSTEM 'doc.dtd><doc>t</doc>", "unterminated_doctype"),
    # Entities are never expanded: a declared one is as unknown as any other.
    ('<!DOCTYPE doc [<!ENTITY e "x">]><doc>&e;</doc>', "unknown_entity"),
]


@pytest.mark.parametrize("document, code", REFUSED)
def test_refused(document, code):
    if code == "unterminated_doctype":
        with pytest.raises(ET.ParseError):
            ET.fromstring(document)
    with pytest.raises(arbolite.ParseError) as whole:
        arbolite.read_string(document, "doc")
    assert whole.value.code == code
    with pytest.raises(arbolite.ParseError) as streamed:
        list(arbolite.iter_string(document, "doc"))
    assert str(streamed.value) == str(whole.value)
