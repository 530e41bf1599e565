// The reader's entry for the document element: the same tree and errors as
// asking for the root by name, and with raw text, every text kept whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/read/parser.hpp"
#include "tests/reference/compare.hpp"

using arbolite::Arena;
using arbolite::Node;
using arbolite::ParseOutcome;
using arbolite::cpu::Kernel;
namespace check = arbolite::check;

namespace {

std::string rendered(const ParseOutcome& got) {
    if (got.error) return "error: " + got.error->message();
    return check::render(got.root);
}

std::string by_element(Kernel k, const std::string& doc, bool raw) {
    Arena arena(doc.size());
    return rendered(arbolite::parse_document_element_with(k, doc, raw, check::test_type(), arena));
}

std::string by_name(Kernel k, const std::string& doc, const std::string& root) {
    Arena arena(doc.size());
    return rendered(arbolite::parse_document_with(k, doc, root, check::test_type(), arena));
}

class DocumentElement : public ::testing::TestWithParam<Kernel> {};
INSTANTIATE_TEST_SUITE_P(Kernels, DocumentElement, ::testing::ValuesIn(check::runnable_kernels()),
                         [](const ::testing::TestParamInfo<Kernel>& info) { return check::kernel_name(info.param); });

TEST_P(DocumentElement, IsTheRootAskedForByName) {
    const Kernel k = GetParam();
    const std::vector<std::pair<std::string, std::string>> docs = {
        {"<a/>", "a"},
        {"<?xml version='1.0'?><!-- c --><!DOCTYPE r [<!ENTITY e 'x'>]><r x='1'> t <b>u</b> v </r>", "r"},
        {"<p:q xmlns:p='u'><p:r/></p:q><after/>", "p:q"},
        {"<a><b></a>", "a"},
        {"<a x='1' x='2'/>", "a"},
        {"<a>&nope;</a>", "a"},
        {"<a><b>", "a"},
        {"<a", "a"},
    };
    for (const auto& [doc, root] : docs) {
        EXPECT_EQ(by_element(k, doc, false), by_name(k, doc, root)) << doc;
    }
}

TEST_P(DocumentElement, RawTextKeepsAllWhiteSpace) {
    const Kernel k = GetParam();
    const std::string doc = "<a>\n  <b> x </b>\n  <c><![CDATA[ y ]]>&amp; </c>\t</a>";
    Arena arena(doc.size());
    const ParseOutcome got = arbolite::parse_document_element_with(k, doc, true, check::test_type(), arena);
    ASSERT_FALSE(got.error);
    EXPECT_EQ(arbolite::node_text(got.root).value_or("(none)"), "\n  \n  \t");
    const Node* b = got.root->first_child;
    EXPECT_EQ(arbolite::node_text(b).value_or("(none)"), " x ");
    EXPECT_EQ(arbolite::node_text(b->next_sibling).value_or("(none)"), " y & ");
    // Trimmed, the same document gives what the named read gives.
    EXPECT_EQ(by_element(k, doc, false), by_name(k, doc, "a"));
}

TEST_P(DocumentElement, ADocumentWithoutAnElementIsAnError) {
    for (const std::string doc : {"", "  ", "<!-- c -->", "<?p?>"}) {
        EXPECT_EQ(by_element(GetParam(), doc, false),
                  "error: malformed XML at byte " + std::to_string(doc.size()) + ": no element found in document")
            << doc;
    }
}

}  // namespace
