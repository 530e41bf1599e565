// The one-pass reader against the reference on real documents: every file of
// the shared corpus, whole, for several root tags, and a few hundred seeded
// mutations of each (excerpts with markup inserted, bytes changed, ranges
// dropped or repeated, the end cut off), with every kernel the processor runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/read/file_source.hpp"
#include "tests/reference/compare.hpp"

namespace check = arbolite::check;
namespace fs = std::filesystem;

#ifndef ARBOLITE_CORPUS
#error "the build gives the corpus folder as ARBOLITE_CORPUS"
#endif

namespace {

bool corpus_optional() {
    const char* v = std::getenv("ARBOLITE_NO_CORPUS");
    return v && std::string(v) == "1";
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ARBOLITE_CORPUS, ec)) {
        if (entry.is_regular_file()) out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string load(const std::string& name) {
    auto r = arbolite::read_text_file(std::string(ARBOLITE_CORPUS) + "/" + name);
    if (auto* e = std::get_if<arbolite::CoreError>(&r)) {
        ADD_FAILURE() << name << ": " << e->sys << " " << e->detail;
        return {};
    }
    return std::string(std::get<arbolite::ByteBuffer>(r).view());
}

bool name_end(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '/' || c == '>'; }

// Start-tag names in order of appearance, found by a plain scan that steps
// over comments, CDATA, processing instructions and declarations: good
// enough to pick root tags, which need not even be right.
struct StartTag {
    std::string name;
    std::size_t at;
};

std::vector<StartTag> start_tags(std::string_view doc, std::size_t limit) {
    std::vector<StartTag> out;
    std::size_t p = doc.find('<');
    while (p != std::string_view::npos && p + 1 < doc.size() && out.size() < limit) {
        const std::string_view rest = doc.substr(p);
        std::size_t next = p + 1;
        if (rest.substr(0, 4) == "<!--") {
            next = doc.find("-->", p + 4);
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            next = doc.find("]]>", p + 9);
        } else if (rest[1] == '?') {
            next = doc.find("?>", p + 2);
        } else if (rest[1] == '!') {
            next = doc.find('>', p + 2);
        } else if (rest[1] != '/') {
            std::size_t k = p + 1;
            while (k < doc.size() && k - p < 200 && !name_end(doc[k])) ++k;
            if (k > p + 1) out.push_back({std::string(doc.substr(p + 1, k - p - 1)), p});
        }
        if (next == std::string_view::npos) break;
        p = doc.find('<', next);
    }
    return out;
}

struct Roots {
    std::string document;  // the first start tag
    std::string common;    // the most frequent other one
};

Roots pick_roots(const std::vector<StartTag>& tags) {
    Roots r;
    if (tags.empty()) return r;
    r.document = tags.front().name;
    std::map<std::string, std::size_t> count;
    for (const StartTag& t : tags) ++count[t.name];
    std::size_t best = 0;
    for (const auto& [n, c] : count) {
        if (n != r.document && c > best) {
            best = c;
            r.common = n;
        }
    }
    return r;
}

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

// One to four edits of the kinds that move markup boundaries.
std::string mutate(std::string doc, std::mt19937_64& rng) {
    static const char* const tokens[] = {"<", "</", ">", "/>", "<!--", "-->", "<![CDATA[", "]]>", "<?", "?>", "'", "\"",
                                         "&amp;", "&bogus;", "&#xD800;", "&#65;", "<!x", "=", " ", "\xC2\xA0", "<a ", "]"};
    static const char bytes[] = "<>\"'/&;![]-?= \n";
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits; ++i) {
        const std::size_t at = doc.empty() ? 0 : rng() % (doc.size() + 1);
        switch (rng() % 11) {
            case 0:
                if (at < doc.size()) doc[at] = bytes[rng() % (sizeof bytes - 1)];
                break;
            case 1: doc.insert(at, tokens[rng() % std::size(tokens)]); break;
            case 2: doc.erase(at, rng() % 64); break;
            case 3: {
                const std::size_t from = doc.empty() ? 0 : rng() % doc.size();
                const std::string piece = doc.substr(from, rng() % 128);
                doc.insert(at, piece);
                break;
            }
            case 4: doc.resize(at); break;
            case 5:
            case 6:
                // A byte swapped with its neighbour: quotes and brackets change sides.
                if (at + 1 < doc.size()) std::swap(doc[at], doc[at + 1]);
                break;
            default:
                // A space or a name byte: harmless edits keep the element whole.
                doc.insert(at, rng() % 2 ? " " : "z");
                break;
        }
    }
    return doc;
}

class Corpus : public ::testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus);

TEST(CorpusFolder, IsThere) {
    if (corpus_files().empty()) {
        if (corpus_optional()) GTEST_SKIP() << "no corpus at " << ARBOLITE_CORPUS << " (ARBOLITE_NO_CORPUS=1)";
        FAIL() << "no corpus at " << ARBOLITE_CORPUS << "; set ARBOLITE_NO_CORPUS=1 to run without it";
    }
}

TEST_P(Corpus, WholeFileForSeveralRoots) {
    const std::string doc = load(GetParam());
    const Roots roots = pick_roots(start_tags(doc, SIZE_MAX));
    for (const std::string& root : {roots.document, roots.common, std::string("absent-name"), std::string()}) {
        EXPECT_EQ(check::diff_all_kernels(doc, root), "") << GetParam() << ", root <" << root << ">";
    }
}

// The comparisons above must be between trees, not only between errors:
// most real documents read whole.
TEST(CorpusFolder, MostFilesReadWholeFromTheirDocumentElement) {
    std::size_t trees = 0, files = 0;
    for (const std::string& name : corpus_files()) {
        if (name.find(".md") != std::string::npos) continue;
        ++files;
        const std::string doc = load(name);
        arbolite::Arena arena(doc.size());
        const arbolite::ParseOutcome got =
            arbolite::parse_document(doc, pick_roots(start_tags(doc, SIZE_MAX)).document, check::test_type(), arena);
        if (!got.error) ++trees;
    }
    EXPECT_GE(trees * 4, files * 3) << trees << " of " << files << " files read whole";
}

TEST_P(Corpus, SeededMutations) {
    const std::string doc = load(GetParam());
    const std::vector<StartTag> tags = start_tags(doc, SIZE_MAX);
    const Roots roots = pick_roots(tags);
    std::mt19937_64 rng(fnv1a(GetParam()));
    // Excerpts keep each parse small; a few mutations of the whole file
    // reach deep into its real structure.
    std::size_t trees = 0, parses = 0;
    for (int i = 0; i < 1000; ++i) {
        // An excerpt from a start tag on, read for that tag: the walk goes
        // into the element at once, so the edits land inside a real subtree.
        std::size_t start = doc.empty() ? 0 : rng() % doc.size();
        std::string local = "x";
        if (!tags.empty()) {
            const StartTag& t = tags[rng() % tags.size()];
            start = t.at;
            local = t.name;
        }
        // Mostly up to the end tag, when it is near, so that the element is whole.
        std::size_t len = 1 + rng() % 12000;
        const std::size_t close = doc.find("</" + local + ">", start);
        if (close != std::string::npos && close - start < 65536 && rng() % 4 != 0) {
            len = close - start + local.size() + 3 + rng() % 200;
        }
        // Ended after a '>', not inside a tag: a cut tag would be the outcome every time.
        const std::size_t gt = doc.find('>', start + len - 1);
        if (gt != std::string::npos) len = gt + 1 - start;
        const std::string excerpt = doc.substr(start, len);
        const std::string mutated = mutate(excerpt, rng);
        const std::vector<StartTag> inside = start_tags(mutated, 64);
        const std::string other = inside.empty() ? "y" : inside[rng() % inside.size()].name;
        for (const std::string& root : {local, other, roots.common}) {
            bool tree = false;
            ASSERT_EQ(check::diff_all_kernels(mutated, root, &tree), "")
                << GetParam() << " mutation " << i << ", root <" << root << ">, excerpt at " << start;
            trees += tree;
            ++parses;
        }
    }
    // Not only errors: a good share of the mutated excerpts still hold the element.
    if (tags.size() >= 10) {
        EXPECT_GE(trees * 10, parses) << trees << " trees in " << parses;
    }
    std::printf("%zu of %zu mutated excerpts held the element\n", trees, parses);
    for (int i = 0; i < 8; ++i) {
        const std::string mutated = mutate(doc, rng);
        ASSERT_EQ(check::diff_all_kernels(mutated, roots.document), "") << GetParam() << " whole-file mutation " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus, ::testing::ValuesIn(corpus_files()), [](const auto& info) {
    std::string name = info.param;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
});

}  // namespace
