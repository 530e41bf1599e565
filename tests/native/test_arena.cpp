// The arena: objects counted per slab, a published slab freed exactly when
// its last object is released, big objects in slabs of their own, and an
// unpublished arena (a failed parse) leaving nothing behind. Freed memory is
// observed through the allocator's byte count (the sanitizer's, under ASan)
// and, for mapped slabs, through mincore(); under ASan an early free also
// shows as a use after free when the survivors are read.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/read/parser.hpp"
#include "core/tree/arena.hpp"
#include "tests/reference/compare.hpp"

using arbolite::Arena;
using arbolite::Node;
using arbolite::ParseOutcome;
namespace check = arbolite::check;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARBOLITE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ARBOLITE_ASAN 1
#endif

#ifdef ARBOLITE_ASAN
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
// The allocator's own statistics count chunks parked in its per-thread
// caches as in use, so this executable counts for itself: every allocation
// function passes through here on its way to the C library's.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long long> g_live_bytes{0};
void* counted(void* p) {
    if (p) g_live_bytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) { return counted(__libc_malloc(n)); }
void* calloc(std::size_t n, std::size_t size) { return counted(__libc_calloc(n, size)); }
void free(void* p) {
    if (p) g_live_bytes -= static_cast<long long>(malloc_usable_size(p));
    __libc_free(p);
}
void* realloc(void* p, std::size_t n) {
    const long long old = p ? static_cast<long long>(malloc_usable_size(p)) : 0;
    void* q = __libc_realloc(p, n);
    if (q || n == 0) g_live_bytes -= old;
    return counted(q);
}
void* memalign(std::size_t align, std::size_t n) { return counted(__libc_memalign(align, n)); }
void* aligned_alloc(std::size_t align, std::size_t n) { return counted(__libc_memalign(align, n)); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
    void* p = counted(__libc_memalign(align, n));
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
}

// operator new, with a switch that makes its next call fail.
std::atomic<bool> g_fail_next_new{false};
void* operator new(std::size_t n) {
    if (g_fail_next_new.exchange(false)) throw std::bad_alloc();
    if (void* p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
#endif

namespace {

// Bytes the allocator has handed out and not taken back, once the freed slabs
// the arena keeps for the next document have been given back too.
std::size_t allocated() {
    arbolite::release_kept_slabs();
#ifdef ARBOLITE_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return static_cast<std::size_t>(g_live_bytes.load());
#endif
}

bool page_mapped(const void* p) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) & ~(page - 1));
    unsigned char v;
    return mincore(start, 1, &v) == 0;
}

struct Object {
    char* at;
    std::uint32_t offset;
    const char* slab() const { return at - offset; }
};

Object put(Arena& arena, std::size_t bytes, char fill) {
    char* at = arena.reserve(bytes);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(at) % 8, 0u);
    std::memset(at, fill, bytes);
    const std::uint32_t offset = arena.commit(at + bytes);
    EXPECT_NE(offset, 0u);
    EXPECT_EQ(offset % 8, 0u);
    return {at, offset};
}

bool intact(const Object& o, std::size_t bytes, char fill) {
    return std::all_of(o.at, o.at + bytes, [&](char c) { return c == fill; });
}

TEST(Arena, SmallObjectsShareASlabThatGoesWithTheLastOfThem) {
    std::vector<Object> objs;
    objs.reserve(6);
    const std::size_t before = allocated();
    {
        Arena arena(100);  // a small first slab, from malloc
        for (int i = 0; i < 6; ++i) objs.push_back(put(arena, 40, static_cast<char>('a' + i)));
        EXPECT_EQ(arena.slab_count(), 1u);
        for (std::size_t i = 1; i < objs.size(); ++i) {
            EXPECT_EQ(objs[i].slab(), objs[0].slab());
            EXPECT_GE(objs[i].at, objs[i - 1].at + 40) << "objects follow one another";
        }
        arena.publish();
        EXPECT_EQ(arena.slab_count(), 0u);
    }
    const std::size_t published = allocated();
    EXPECT_GE(published - before, 1024u) << "the published slab outlives its arena";
    for (int i : {3, 0, 5, 1, 2}) {
        arbolite::slab_release(objs[i].at, objs[i].offset);
        ASSERT_EQ(allocated(), published) << "released " << i << ": the slab still holds object 4";
    }
    EXPECT_TRUE(intact(objs[4], 40, 'e'));
    arbolite::slab_release(objs[4].at, objs[4].offset);
    EXPECT_EQ(allocated(), before) << "the last release frees the slab";
}

TEST(Arena, ReleaserFreesEachSlabWithItsLastObject) {
    std::vector<Object> objs;
    objs.reserve(60);
    const std::size_t before = allocated();
    {
        Arena arena(100);
        for (int i = 0; i < 60; ++i) objs.push_back(put(arena, 100, static_cast<char>('a' + i % 26)));
        arena.publish();
    }
    ASSERT_NE(objs.front().slab(), objs.back().slab());
    const std::size_t published = allocated();
    {
        arbolite::SlabReleaser releases;
        // Every other object front to back: runs that switch slabs, no slab emptied.
        for (std::size_t i = 0; i < objs.size(); i += 2) releases.release(objs[i].at, objs[i].offset);
        releases.flush();
        EXPECT_EQ(allocated(), published);
        for (std::size_t i = 1; i < objs.size(); i += 2) {
            ASSERT_TRUE(intact(objs[i], 100, static_cast<char>('a' + i % 26))) << i;
        }
        for (std::size_t i = objs.size() - 1; i < objs.size(); i -= 2) releases.release(objs[i].at, objs[i].offset);
    }
    EXPECT_EQ(allocated(), before) << "every slab freed once its objects are";
}

TEST(Arena, MappedSlabStaysUntilItsLastObject) {
    arbolite::release_kept_slabs();  // room in the pool
    std::vector<Object> objs;
    {
        Arena arena(900 * 1024);  // a first slab past the mapping threshold
        for (int i = 0; i < 4; ++i) objs.push_back(put(arena, 1000, static_cast<char>('p' + i)));
        arena.publish();
    }
    const char* slab = objs[0].slab();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(slab) % static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)), 0u);
    for (int i : {2, 0, 3}) {
        arbolite::slab_release(objs[i].at, objs[i].offset);
        ASSERT_TRUE(page_mapped(slab)) << i;
    }
    EXPECT_TRUE(intact(objs[1], 1000, 'q'));
    arbolite::slab_release(objs[1].at, objs[1].offset);
    EXPECT_TRUE(page_mapped(slab)) << "a slab of the pool's size is kept for the next document";
    arbolite::release_kept_slabs();
    EXPECT_FALSE(page_mapped(slab));
}

TEST(Arena, BigObjectsGetSlabsOfTheirOwn) {
    constexpr std::size_t kBig = 300 * 1024;  // past a quarter of the largest slab
    Object small_a, big, small_b, big2;
    {
        Arena arena(100);
        small_a = put(arena, 64, 'a');
        big = put(arena, kBig, 'B');
        small_b = put(arena, 64, 'b');
        big2 = put(arena, kBig + 1, 'C');
        EXPECT_EQ(arena.slab_count(), 3u);
        EXPECT_EQ(small_b.slab(), small_a.slab()) << "small objects keep filling the current slab";
        EXPECT_NE(big.slab(), small_a.slab());
        EXPECT_NE(big2.slab(), big.slab());
        EXPECT_EQ(small_b.at, small_a.at + 64);
        arena.publish();
    }
    const std::size_t live = allocated();
    arbolite::slab_release(big.at, big.offset);
    EXPECT_FALSE(page_mapped(big.slab())) << "a big object's slab goes with it";
    EXPECT_TRUE(page_mapped(big2.slab()));
    EXPECT_EQ(allocated(), live);
    EXPECT_TRUE(intact(small_a, 64, 'a') && intact(small_b, 64, 'b') && intact(big2, kBig + 1, 'C'));
    arbolite::slab_release(small_a.at, small_a.offset);
    arbolite::slab_release(big2.at, big2.offset);
    EXPECT_FALSE(page_mapped(big2.slab()));
    arbolite::slab_release(small_b.at, small_b.offset);
    EXPECT_GE(live - allocated(), 1024u);
}

// An object being built that outgrows its reservation moves with its bytes,
// whatever slab it lay in: a mapped one whose tail is given back when it is
// retired, a slab of its own, or the current one. Sizes start at the end of
// a mapped slab, the place a half-built node was once read from after that
// tail was unmapped.
TEST(Arena, AGrownReservationKeepsItsBytesAcrossSlabs) {
    for (std::size_t step : {std::size_t{4096}, std::size_t{100'000}, std::size_t{700'000}}) {
        Arena arena(300 * 1024);  // a mapped first slab
        const Object filler = put(arena, 300 * 1024 - 2048, 'f');
        std::size_t kept = 1000, bound = 1500;
        char* block = arena.reserve(bound);
        std::memset(block, 'a', kept);
        for (int round = 0; round < 6; ++round) {
            bound += step;
            block = arena.grow(block, kept, bound);
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
            ASSERT_TRUE(std::all_of(block, block + kept, [](char c) { return c == 'a'; })) << step << " " << round;
            std::memset(block + kept, 'a', bound - kept);
            kept = bound;
        }
        const std::uint32_t offset = arena.commit(block + kept);
        const Object small = put(arena, 64, 's');
        arena.publish();
        EXPECT_TRUE(intact(filler, 300 * 1024 - 2048, 'f') && intact(small, 64, 's'));
        EXPECT_TRUE(intact({block, offset}, kept, 'a'));
        for (const Object& o : {filler, Object{block, offset}, small}) arbolite::slab_release(o.at, o.offset);
    }
}

TEST(Arena, ASlabThatCannotBeRecordedIsFreed) {
#ifdef ARBOLITE_ASAN
    GTEST_SKIP() << "operator new is the sanitizer's here; its leak check covers this at exit";
#else
    // The arena's list of slabs cannot grow: the slab just allocated for the
    // request must not be lost with the exception.
    const std::size_t before = allocated();
    {
        Arena arena(100);
        const auto attempt = [&] {
            g_fail_next_new = true;
            return arena.reserve(64);
        };
        EXPECT_THROW(attempt(), std::bad_alloc);
        g_fail_next_new = false;
        EXPECT_EQ(arena.slab_count(), 0u);
        put(arena, 64, 'x');  // and the arena still works
        EXPECT_EQ(arena.slab_count(), 1u);
    }
    EXPECT_EQ(allocated(), before);
#endif
}

TEST(Arena, ExpectSizesOnlyTheFirstSlab) {
    constexpr std::size_t kMid = 200 * 1024;  // not big, but more than a small first slab holds
    {
        Arena sized(10);
        sized.expect(900 * 1024);
        put(sized, 64, 'x');
        put(sized, kMid, 'y');
        EXPECT_EQ(sized.slab_count(), 1u);
    }
    {
        Arena small(10);
        put(small, 64, 'x');
        put(small, kMid, 'y');
        EXPECT_EQ(small.slab_count(), 2u);
    }
    {
        Arena late(10);
        put(late, 64, 'x');
        late.expect(900 * 1024);  // too late: the first slab exists
        put(late, kMid, 'y');
        EXPECT_EQ(late.slab_count(), 2u);
    }
}

TEST(Arena, ManySlabsReleasedInAnyOrder) {
    std::vector<Object> objs;
    objs.reserve(40000);
    std::vector<const char*> slabs, mapped;
    slabs.reserve(40000);
    mapped.reserve(40000);
    const std::size_t before = allocated();
    {
        Arena arena(100);
        for (int i = 0; i < 40000; ++i) objs.push_back(put(arena, 8 + static_cast<std::size_t>(i % 200), 'z'));
        EXPECT_GE(arena.slab_count(), 4u);
        arena.publish();
    }
    for (const Object& o : objs) slabs.push_back(o.slab());
    std::sort(slabs.begin(), slabs.end());
    slabs.erase(std::unique(slabs.begin(), slabs.end()), slabs.end());
    // Slabs from malloc may sit in pages the allocator keeps; mapped ones
    // must be gone. Which is which is read from each slab's header while it
    // lives (an address that merely looks page-aligned may be malloc's).
    for (const char* s : slabs) {
        if (reinterpret_cast<const arbolite::Slab*>(s)->mapped) mapped.push_back(s);
    }
    EXPECT_FALSE(mapped.empty());
    std::shuffle(objs.begin(), objs.end(), std::mt19937_64(3));
    for (const Object& o : objs) arbolite::slab_release(o.at, o.offset);
    EXPECT_EQ(allocated(), before);  // gives back the kept slabs too
    for (const char* s : mapped) EXPECT_FALSE(page_mapped(s));
}

// ---- parsed documents ---------------------------------------------------------

// Several slabs' worth of nodes, texts (one bigger than any slab) and
// indexed attribute lists.
std::string rich_document() {
    std::string doc = "<doc>";
    for (int i = 0; i < 3000; ++i) {
        doc += "<item n='" + std::to_string(i) + "'";
        if (i % 50 == 0) {
            for (int k = 0; k < 12; ++k) doc += " k" + std::to_string(k) + "='" + std::to_string(k) + "'";
        }
        doc += ">text " + std::to_string(i) + " &amp; more<sub/></item>\n";
    }
    doc += "<big>" + std::string(400 * 1024, 'B') + "</big>";
    doc += "</doc>";
    return doc;
}

void parse_and_drop(const std::string& doc, const char* root) {
    Arena arena(doc.size());
    const ParseOutcome got = arbolite::parse_document(doc, root, check::test_type(), arena);
    (void)got;
}

TEST(Arena, AnUnpublishedParseLeavesNothingBehind) {
    const std::string doc = rich_document();
    parse_and_drop(doc, "doc");  // first use of anything lazily set up
    const std::size_t before = allocated();
    const char* first_slab = nullptr;
    {
        Arena arena(doc.size());
        const ParseOutcome got = arbolite::parse_document(doc, "doc", check::test_type(), arena);
        ASSERT_FALSE(got.error);
        EXPECT_EQ(got.node_count, 1 + 3000 * 2 + 1u);
        EXPECT_EQ(arena.slab_count(), 1u) << "the big text fits in the pool-sized first slab";
        first_slab = reinterpret_cast<const char*>(got.root) - got.root->slab_offset;
        EXPECT_TRUE(page_mapped(first_slab));
    }
    EXPECT_EQ(allocated(), before);
    EXPECT_FALSE(page_mapped(first_slab));
}

TEST(Arena, FailedParsesLeakNothing) {
    const std::string doc = rich_document();
    std::vector<std::string> failing = {
        doc.substr(0, doc.size() - 6),                                       // never closed
        doc + "<",                                                           // unclosed tag at the very end
        doc.substr(0, doc.size() / 2) + "&bogus;" + doc.substr(doc.size() / 2),
        doc.substr(0, doc.size() / 3) + "</wrong>" + doc.substr(doc.size() / 3),
        doc.substr(0, doc.size() - 10) + "<b a='1' a='2'/>" + doc.substr(doc.size() - 10),
    };
    // Cut at many places: inside tags, texts, values and the big text.
    for (std::size_t cut = 1; cut < doc.size(); cut += 7919) failing.push_back(doc.substr(0, cut));
    parse_and_drop(doc, "doc");
    const std::size_t before = allocated();
    for (const std::string& bad : failing) {
        {
            Arena arena(bad.size());
            const ParseOutcome got = arbolite::parse_document(bad, "doc", check::test_type(), arena);
            ASSERT_TRUE(got.error) << bad.size();
        }
        ASSERT_EQ(allocated(), before) << "after a failed parse of " << bad.size() << " bytes";
    }
}

TEST(Arena, PublishedTreeGoesNodeByNode) {
    const std::string doc = rich_document();
    parse_and_drop(doc, "doc");
    const std::size_t before = allocated();
    Node* root;
    const char* first_slab;
    {
        Arena arena(doc.size());
        const ParseOutcome got = arbolite::parse_document(doc, "doc", check::test_type(), arena);
        ASSERT_FALSE(got.error);
        root = got.root;
        first_slab = reinterpret_cast<const char*>(root) - root->slab_offset;
        arena.publish();
    }
    // Keep one item and the big text's element, drop the document.
    Node* kept = root->first_child;
    for (int i = 0; i < 2950; ++i) kept = kept->next_sibling;
    Node* big = kept;
    while (big->next_sibling) big = big->next_sibling;
    ++kept->head.refcount;
    ++big->head.refcount;
    check::release(root);
    const std::size_t with_two = allocated();
    EXPECT_LT(with_two, before + doc.size() / 2) << "most of the document was freed";
    EXPECT_EQ(check::render(kept), "item{n=2950,k0=0,k1=1,k2=2,k3=3,k4=4,k5=5,k6=6,k7=7,k8=8,k9=9,k10=10,k11=11}'text 2950 & more'[sub]");
    EXPECT_EQ(arbolite::find_attr(kept, "k11"), "11");
    EXPECT_EQ(arbolite::node_text(big)->size(), 400 * 1024u);
    check::release(kept);
    check::release(big);
    EXPECT_EQ(allocated(), before);
    EXPECT_FALSE(page_mapped(first_slab));
}

}  // namespace

namespace {

TEST(Arena, AFewFreedFullSlabsAreKeptForTheNextDocument) {
    arbolite::release_kept_slabs();
    std::vector<Object> objs;
    {
        Arena arena(std::size_t{1} << 20);
        // Objects of 64 KiB fill full-size slabs, sixteen to a slab.
        for (int i = 0; i < 16 * 20; ++i) objs.push_back(put(arena, std::size_t{1} << 16, 'k'));
        arena.publish();
    }
    std::vector<const char*> slabs;
    for (const Object& o : objs) slabs.push_back(o.slab());
    std::sort(slabs.begin(), slabs.end());
    slabs.erase(std::unique(slabs.begin(), slabs.end()), slabs.end());
    ASSERT_GE(slabs.size(), 12u);
    for (const Object& o : objs) arbolite::slab_release(o.at, o.offset);
    const auto still_mapped = std::count_if(slabs.begin(), slabs.end(), [](const char* s) { return page_mapped(s); });
    EXPECT_GE(still_mapped, 1);
    EXPECT_LE(still_mapped, 8) << "only a few are kept";
    // The next document takes them before it maps new ones.
    {
        Arena arena(std::size_t{1} << 20);
        const Object first = put(arena, 64, 'n');
        EXPECT_TRUE(std::binary_search(slabs.begin(), slabs.end(), first.slab())) << "a kept slab is reused";
    }
    arbolite::release_kept_slabs();
    EXPECT_EQ(std::count_if(slabs.begin(), slabs.end(), [](const char* s) { return page_mapped(s); }), 0);
}

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// A document of one and a half slabs, read again and again, finds its pages
// in memory: the part of a slab it left unused was given back, and is taken
// last, whatever order the slabs came back in (the part-filled one here last,
// so that a stack of kept slabs would hand it out first).
TEST(Arena, ADocumentReadAgainFaultsNoPagesIn) {
    arbolite::release_kept_slabs();
    auto read_once = [] {
        std::vector<Object> objs;
        {
            Arena arena(std::size_t{1} << 20);
            for (int i = 0; i < 24; ++i) objs.push_back(put(arena, std::size_t{1} << 16, 'r'));
            arena.publish();
        }
        for (const Object& o : objs) arbolite::slab_release(o.at, o.offset);
    };
    read_once();
    read_once();
    const long before = minor_faults();
    read_once();
    // 8 slab pages of 4 KiB are 32 KiB; the dropped half slab is 128 pages.
    EXPECT_LT(minor_faults() - before, 16);
    arbolite::release_kept_slabs();
}

}  // namespace

// A large document's slabs are 4 MB and aligned to huge pages; a kept object
// pins its own slab only, and every slab goes with its last object.
TEST(Arena, LargeDocumentsFillHugePageSlabs) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    constexpr std::size_t kObject = 64 * 1024;
    constexpr int kCount = 200;  // about 13 MB: several slabs
    std::vector<Object> objs;
    objs.reserve(kCount);
    {
        Arena arena(std::size_t{100} << 20);
        for (int i = 0; i < kCount; ++i) objs.push_back(put(arena, kObject, static_cast<char>('A' + i % 50)));
        EXPECT_GE(arena.slab_count(), 3u);
        EXPECT_LE(arena.slab_count(), 5u) << "slabs of about 4 MB";
        arena.publish();
    }
    std::vector<const char*> slabs;
    for (const Object& o : objs) {
        if (slabs.empty() || slabs.back() != o.slab()) slabs.push_back(o.slab());
    }
    for (const char* s : slabs) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s) % kHuge, 0u);
    const Object kept = objs[kCount / 2];
    for (int i = 0; i < kCount; ++i) {
        if (i != kCount / 2) arbolite::slab_release(objs[i].at, objs[i].offset);
    }
    for (const char* s : slabs) EXPECT_EQ(page_mapped(s), s == kept.slab()) << "only the kept object's slab stays";
    EXPECT_TRUE(intact(kept, kObject, static_cast<char>('A' + (kCount / 2) % 50)));
    arbolite::slab_release(kept.at, kept.offset);
    EXPECT_FALSE(page_mapped(kept.slab()));
}
