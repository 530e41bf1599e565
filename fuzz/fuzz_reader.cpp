// The reader on arbitrary bytes: the three classifiers must agree bit for bit,
// both index builders must keep their invariants, the tree builder must never
// trip a range guard, and parse_root must always give the sequential index's
// answer, however dense the document is in quotes. The first byte picks the root tag.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "index/mod.hpp"
#include "index/structural.hpp"
#include "simd/byte_search.hpp"
#include "simd/classify.hpp"
#include "src/core/utf8.hpp"
#include "src/read/decode.hpp"
#include "src/read/tree_builder.hpp"

using namespace arbolite;

namespace {

using Outcome = std::variant<PlainElement, XmlError>;

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void check_classifiers(std::string_view doc) {
    const TagBitmaps ref = classify_scalar(doc.data(), doc.size());
    require(ref.lt_bits.size() == (doc.size() + 63) / 64 && ref.gt_bits.size() == ref.lt_bits.size());
    auto same = [&](const TagBitmaps& b) {
        require(b.len == ref.len && b.lt_bits == ref.lt_bits && b.gt_bits == ref.gt_bits);
    };
    if (cpu::has_avx2()) same(classify_avx2(doc.data(), doc.size()));
    if (cpu::has_sse42()) same(classify_sse42(doc.data(), doc.size()));
    same(classify(doc.data(), doc.size()));

    const ByteCounts c = count_two_bytes_scalar(doc.data(), doc.size(), '<', '"');
    const ByteCounts s = count_two_bytes_sse2(doc.data(), doc.size(), '<', '"');
    require(c.first == s.first && c.second == s.second);
    if (cpu::has_avx2()) {
        const ByteCounts a = count_two_bytes_avx2(doc.data(), doc.size(), '<', '"');
        require(c.first == a.first && c.second == a.second);
    }
}

void check_index(const StructuralIndex& ix) {
    const std::uint64_t n = ix.input.size();
    require(ix.tag_ends.size() == ix.size() && ix.tag_kinds.size() == ix.size() && ix.tag_names.size() == ix.size());
    for (std::size_t i = 0; i < ix.size(); ++i) {
        require(ix.tag_starts[i] < ix.tag_ends[i] && ix.tag_ends[i] <= n);
        require(ix.input[ix.tag_starts[i]] == '<');
        if (i > 0) require(ix.tag_starts[i - 1] < ix.tag_starts[i]);
        require(ix.tag_names[i].offset + ix.tag_names[i].length <= ix.tag_ends[i]);
    }
    for (std::size_t i = 0; i < ix.text_ranges.size(); ++i) {
        const TextRange& t = ix.text_ranges[i];
        require(t.start < t.end && t.end <= n);
        if (i > 0) require(ix.text_ranges[i - 1].start < t.start);
    }
    if (ix.text_may_hold_lt) return;
    require(!has_overlapping_tags(ix));
    // The tree builder skips its '<' check on sequential indexes: the only
    // ranges there that hold a '<' are CDATA content (never read as text) and
    // a range from byte 0 after a leading unterminated declaration.
    std::size_t r = 0;
    for (const TextRange& t : ix.text_ranges) {
        if (find_byte(ix.input.data(), t.start, t.end, '<') == kNotFound || t.start == 0) continue;
        while (r < ix.size() && ix.tag_starts[r] + 9 < t.start) ++r;
        require(r < ix.size() && ix.tag_starts[r] + 9 == t.start && ix.tag_kinds[r] == TagKind::CData);
    }
}

bool valid(std::string_view s, bool input_valid) { return !input_valid || is_valid_utf8(s); }

// Structure and UTF-8 validity of every string, without recursion.
void check_tree(const PlainElement& root, bool input_valid) {
    std::vector<const PlainElement*> todo{&root};
    while (!todo.empty()) {
        const PlainElement* e = todo.back();
        todo.pop_back();
        require(!e->name.empty() && valid(e->name, input_valid));
        if (e->text) require(!e->text->empty() && valid(*e->text, input_valid) && trim_white_space(*e->text) == *e->text);
        for (auto kv : e->attrs) require(valid(kv.key, input_valid) && valid(kv.value, input_valid));
        for (const PlainElement& c : e->children) todo.push_back(&c);
    }
}

bool same_tree(const PlainElement& a, const PlainElement& b) {
    std::vector<std::pair<const PlainElement*, const PlainElement*>> todo{{&a, &b}};
    while (!todo.empty()) {
        auto [x, y] = todo.back();
        todo.pop_back();
        if (x->name != y->name || x->text != y->text || x->attrs.size() != y->attrs.size() ||
            x->children.size() != y->children.size()) {
            return false;
        }
        for (std::size_t i = 0; i < x->attrs.size(); ++i) {
            if (x->attrs.at(i).key != y->attrs.at(i).key || x->attrs.at(i).value != y->attrs.at(i).value) return false;
        }
        for (std::size_t i = 0; i < x->children.size(); ++i) todo.push_back({&x->children[i], &y->children[i]});
    }
    return true;
}

bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.index() != b.index()) return false;
    if (auto* e = std::get_if<XmlError>(&a)) return *e == std::get<XmlError>(b);
    return same_tree(std::get<PlainElement>(a), std::get<PlainElement>(b));
}

Outcome walk(const IndexResult& ix, std::string_view root, bool input_valid) {
    if (auto* e = std::get_if<XmlError>(&ix)) {
        require(e->kind == XmlError::Kind::UnclosedTag);
        return *e;
    }
    const StructuralIndex& index = std::get<StructuralIndex>(ix);
    check_index(index);
    try {
        Outcome out = build_tree(index, root);
        if (auto* el = std::get_if<PlainElement>(&out)) {
            require(el->name == root);
            check_tree(*el, input_valid);
        } else {
            (void)std::get<XmlError>(out).message();
        }
        return out;
    } catch (const IndexRangeError&) {
        __builtin_trap();  // the guards should be unreachable
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const kRoots[] = {"a", "b", "root", "", "item", "r\xC3\xA9", "x", "a b"};
    const std::string_view root = kRoots[data[0] % 8];
    // An owned copy, so reads past the end show up under the sanitizers.
    const std::string doc(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool input_valid = is_valid_utf8(doc);

    check_classifiers(doc);
    const Outcome seq = walk(build_index_sequential(doc), root, input_valid);
    const IndexResult bitmap_index = build_index_bitmap(doc);
    (void)walk(bitmap_index, root, input_valid);
    require(same_outcome(parse_root(doc, root), seq));
    return 0;
}
