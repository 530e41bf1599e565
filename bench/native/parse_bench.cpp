// Native parse throughput (structural index + tree) on each file, without
// Python, against two ceilings on the same buffers: memcpy, and memchr for a
// byte the file does not contain (a full scan). Median of interleaved rounds.
//
//   cmake -S . -B build/bench -G Ninja -DARBOLITE_BUILD_MODULE=OFF -DARBOLITE_BUILD_BENCH=ON
//   cmake --build build/bench -j2 --target parse_bench
//   build/bench/parse_bench [--rounds N] [--min-ms M] [--tsv] CORPUS_DIR_OR_FILES...
//   build/bench/parse_bench --two-threads [--rounds N] CORPUS_DIR_OR_FILES...
//
// --two-threads asks what a second core could give one parse at most: each
// file parsed once on each of two threads against twice on one, beside a
// loop that touches no memory (what the machine's two cores give work that
// shares nothing). No split of one parse over two cores beats the first.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include <memory>

#include "core/read/parser.hpp"
#include "core/tree/walk.hpp"

// ---- The adapter: the only code that knows the parser's entry point. -------
// When the internals change, change this block and nothing else.
namespace adapter {

// The nodes live in the arena, which frees them all when the result goes.
struct Result {
    std::unique_ptr<arbolite::Arena> arena;
    arbolite::ParseOutcome outcome;
};

inline Result parse(std::string_view text, std::string_view root_tag) {
    Result r{std::make_unique<arbolite::Arena>(text.size()), {}};
    // Any non-null pointer serves as the type outside Python.
    static const int type_tag = 0;
    r.outcome = arbolite::parse_document(text, root_tag, &type_tag, *r.arena);
    return r;
}

// Elements in the tree, or -1 and the message on error; runs outside the timing.
inline long long elements(const Result& r, std::string* error) {
    if (r.outcome.error) {
        if (error) *error = r.outcome.error->message();
        return -1;
    }
    struct Count {
        long long n = 0;
        arbolite::Walk enter(arbolite::Node*, std::size_t) {
            ++n;
            return arbolite::Walk::Into;
        }
        void leave(arbolite::Node*, std::size_t) {}
    } count;
    arbolite::walk_preorder(r.outcome.root, count);
    return count.n;
}

}  // namespace adapter
// -----------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// The optimiser must assume the pointee is read and written.
inline void escape(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

// The name of the document element as written: the first start tag after the
// declaration, comments, processing instructions and the doctype.
std::string root_tag(std::string_view t) {
    std::size_t i = 0;
    if (t.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    while (true) {
        i = t.find('<', i);
        if (i == std::string_view::npos) return {};
        std::string_view rest = t.substr(i);
        if (rest.starts_with("<?")) {
            i = t.find("?>", i);
            if (i == std::string_view::npos) return {};
            i += 2;
        } else if (rest.starts_with("<!--")) {
            i = t.find("-->", i);
            if (i == std::string_view::npos) return {};
            i += 3;
        } else if (rest.starts_with("<!")) {
            // A doctype: an internal subset in brackets may hold '>'.
            int depth = 0;
            for (++i; i < t.size(); ++i) {
                if (t[i] == '[') ++depth;
                else if (t[i] == ']') --depth;
                else if (t[i] == '>' && depth <= 0) break;
            }
            ++i;
        } else {
            std::size_t j = i + 1;
            while (j < t.size() && !std::strchr(" \t\r\n/>", t[j])) ++j;
            return std::string(t.substr(i + 1, j - i - 1));
        }
    }
}

int absent_byte(std::string_view t) {
    std::array<bool, 256> seen{};
    for (unsigned char c : t) seen[c] = true;
    for (int b = 0; b < 256; ++b)
        if (!seen[b]) return b;
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct File {
    std::string name;
    std::string data;
};

std::vector<File> load(const std::vector<std::string>& args) {
    std::vector<std::filesystem::path> paths;
    for (const auto& a : args) {
        if (std::filesystem::is_directory(a)) {
            for (const auto& entry : std::filesystem::directory_iterator(a))
                if (entry.is_regular_file() && entry.path().extension() != ".md") paths.push_back(entry.path());
        } else {
            paths.emplace_back(a);
        }
    }
    std::vector<File> files;
    for (const auto& p : paths) {
        std::ifstream in(p, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", p.c_str());
            std::exit(2);
        }
        std::ostringstream s;
        s << in.rdbuf();
        files.push_back({p.filename().string(), std::move(s).str()});
    }
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) {
        return a.data.size() != b.data.size() ? a.data.size() < b.data.size() : a.name < b.name;
    });
    return files;
}

// Seconds per call of fn over `calls` calls.
template <class F>
double sample(F&& fn, int calls) {
    auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) fn();
    auto t1 = Clock::now();
    return std::chrono::duration<double>(t1 - t0).count() / calls;
}

// Calls of fn that last about min_seconds.
template <class F>
int calibrate(F&& fn, double min_seconds) {
    double once = std::max(sample(fn, 1), 1e-9);
    return std::max(1, static_cast<int>(min_seconds / once));
}

// A file's document element, and the elements in its tree (or -1 with the parser's message).
struct FirstRead {
    std::string tag;
    long long elements;
    std::string error;
};

FirstRead first_read(const File& f) {
    FirstRead r{root_tag(f.data), 0, {}};
    adapter::Result first = adapter::parse(f.data, r.tag);
    r.elements = adapter::elements(first, &r.error);
    return r;
}

// Register-only work for the control: a chain of multiplies and shifts.
std::uint64_t spin(std::uint64_t x, long steps) {
    for (long i = 0; i < steps; ++i) x = (x ^ (x >> 29)) * 0xBF58476D1CE4E5B9ull;
    return x;
}

// (one thread running fn twice) / (two threads running it once each). The
// second thread is started off the clock and waits on a flag, as a pool's
// thread would: what is timed is the work shared, not a thread's start.
template <class F>
double two_thread_gain(F&& fn) {
    const auto t0 = Clock::now();
    fn();
    fn();
    const auto t1 = Clock::now();
    std::atomic<bool> go{false};
    std::thread other([&] {
        while (!go.load(std::memory_order_acquire)) {
        }
        fn();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto t2 = Clock::now();
    go.store(true, std::memory_order_release);
    fn();
    other.join();
    const auto t3 = Clock::now();
    return std::chrono::duration<double>(t1 - t0).count() / std::chrono::duration<double>(t3 - t2).count();
}

int two_threads(const std::vector<File>& files, int rounds) {
    std::printf("%-28s %10s %22s %22s\n", "file", "bytes", "parse: 2 threads / 1", "control: 2 threads / 1");
    std::vector<double> gains;
    for (const File& f : files) {
        const std::string_view text = f.data;
        const auto [tag, elements, error] = first_read(f);
        if (elements < 0) {
            std::printf("%-28s %10zu  not well-formed, skipped: %s\n", f.name.c_str(), text.size(), error.c_str());
            continue;
        }
        const auto t0 = Clock::now();
        { adapter::Result r = adapter::parse(text, tag); escape(&r); }
        const double once = std::chrono::duration<double>(Clock::now() - t0).count();
        // The control lasts about as long as a parse, so the handoff and the join weigh alike in both.
        const long steps = std::max(1L, static_cast<long>(once * 5e8));
        const auto s0 = Clock::now();
        escape(reinterpret_cast<const void*>(spin(1, steps)));
        const double spun = std::max(std::chrono::duration<double>(Clock::now() - s0).count(), 1e-9);
        const long control_steps = std::max(1L, static_cast<long>(steps * once / spun));
        std::vector<double> parse_gains, control_gains;
        for (int r = 0; r < rounds; ++r) {
            // Alternated so drift in the machine's load hits both.
            parse_gains.push_back(two_thread_gain([&] {
                adapter::Result tree = adapter::parse(text, tag);
                escape(&tree);
            }));
            control_gains.push_back(
                two_thread_gain([&] { escape(reinterpret_cast<const void*>(spin(f.data.size(), control_steps))); }));
        }
        const double parse_gain = median(parse_gains), control_gain = median(control_gains);
        gains.push_back(parse_gain);
        std::printf("%-28s %10zu %21.2fx %21.2fx\n", f.name.c_str(), text.size(), parse_gain, control_gain);
        std::fflush(stdout);
    }
    if (!gains.empty()) std::printf("\nmedian parse gain over %zu files: %.2fx\n", gains.size(), median(gains));
    return 0;
}

void usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--rounds N] [--min-ms M] [--tsv | --two-threads] CORPUS_DIR_OR_FILES...\n", program);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 11;
    double min_seconds = 0.02;
    bool tsv = false, two = false;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--min-ms" && i + 1 < argc) min_seconds = std::atof(argv[++i]) / 1000;
        else if (a == "--tsv") tsv = true;
        else if (a == "--two-threads") two = true;
        else if (a.starts_with("--")) {
            usage(argv[0]);
            return 2;
        } else inputs.emplace_back(a);
    }
    if (inputs.empty()) {
        usage(argv[0]);
        return 2;
    }

    std::vector<File> files = load(inputs);
    if (two) return two_threads(files, rounds);
    std::vector<double> parse_rates;
    if (tsv) std::printf("file\tbytes\telements\tparse_MBps\tmemcpy_MBps\tmemchr_MBps\tstatus\n");
    else std::printf("%-28s %10s %8s %12s %12s %12s %10s\n", "file", "bytes", "elements", "parse MB/s", "memcpy MB/s",
                     "memchr MB/s", "parse/memchr");
    for (const File& f : files) {
        const std::string_view text = f.data;
        const auto [tag, elements, error] = first_read(f);
        if (elements < 0) {
            if (tsv) std::printf("%s\t%zu\t\t\t\t\tnot well-formed: %s\n", f.name.c_str(), text.size(), error.c_str());
            else std::printf("%-28s %10zu  not well-formed, skipped: %s\n", f.name.c_str(), text.size(), error.c_str());
            continue;
        }

        std::vector<char> copy(text.size());
        const int needle = absent_byte(text);
        bool mismatch = false;
        // Only the parse is on the clock: checking the tree (which also keeps
        // the optimiser from dropping it) and releasing it come after.
        auto parse_calls_timed = [&](int calls) {
            double total = 0;
            for (int i = 0; i < calls; ++i) {
                auto t0 = Clock::now();
                adapter::Result r = adapter::parse(text, tag);
                escape(&r);
                auto t1 = Clock::now();
                total += std::chrono::duration<double>(t1 - t0).count();
                if (adapter::elements(r, nullptr) != elements) mismatch = true;
            }
            return total / calls;
        };
        auto memcpy_once = [&] {
            std::memcpy(copy.data(), text.data(), text.size());
            escape(copy.data());
        };
        auto memchr_once = [&] {
            const void* hit = std::memchr(text.data(), needle < 0 ? 0 : needle, text.size());
            escape(hit);
            if (hit && needle >= 0) mismatch = true;
        };

        const int parse_calls = std::max(1, static_cast<int>(min_seconds / std::max(parse_calls_timed(1), 1e-9)));
        const int memcpy_calls = calibrate(memcpy_once, min_seconds);
        const int memchr_calls = calibrate(memchr_once, min_seconds);
        std::vector<double> parse_s, memcpy_s, memchr_s;
        for (int r = 0; r < rounds; ++r) {
            // Rotate the order each round so drift in the machine's load hits all three.
            for (int k = 0; k < 3; ++k) {
                switch ((k + r) % 3) {
                    case 0: parse_s.push_back(parse_calls_timed(parse_calls)); break;
                    case 1: memcpy_s.push_back(sample(memcpy_once, memcpy_calls)); break;
                    case 2: memchr_s.push_back(sample(memchr_once, memchr_calls)); break;
                }
            }
        }
        if (mismatch) {
            std::fprintf(stderr, "%s: a run disagreed with the first (element count or memchr hit)\n", f.name.c_str());
            return 1;
        }
        const double mb = text.size() / 1e6;
        const double p = mb / median(parse_s), c = mb / median(memcpy_s);
        const double s = needle < 0 ? 0 : mb / median(memchr_s);
        parse_rates.push_back(p);
        if (tsv) std::printf("%s\t%zu\t%lld\t%.1f\t%.1f\t%.1f\tok\n", f.name.c_str(), text.size(), elements, p, c, s);
        else std::printf("%-28s %10zu %8lld %12.1f %12.1f %12.1f %10.3f\n", f.name.c_str(), text.size(), elements, p, c,
                         s, s > 0 ? p / s : 0.0);
        std::fflush(stdout);
    }
    if (!parse_rates.empty() && !tsv)
        std::printf("\nmedian parse MB/s over %zu files: %.1f\n", parse_rates.size(), median(parse_rates));
    return 0;
}
