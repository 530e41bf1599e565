// A stream parser driven as the module drives it: the document fed through a
// window in pieces of given lengths, checked as UTF-8 on the way, each node
// rendered and released as it comes, then "end" or the error. Free of
// GoogleTest, for the native tests and the fuzzers alike.
#pragma once
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/read/stream_window.hpp"
#include "tests/reference/compare.hpp"

namespace arbolite::check {

struct StreamRun {
    std::string out;             // "node;node;...end", or the nodes then "error ..."
    std::size_t most_held = 0;   // the largest window capacity seen
    bool asked_past_end = false; // the parser wanted input after the last byte
};

// `pieces` are used in turn, over and over; none (or a zero) means the whole
// document at once.
inline StreamRun run_stream(cpu::Kernel kernel, std::string_view doc, std::string_view tag,
                            const std::vector<std::size_t>& pieces = {}) {
    StreamRun run;
    auto parser = make_stream(kernel, tag, test_type());
    StreamWindow window;
    std::size_t fed = 0, turn = 0;
    bool eof = false;
    std::optional<std::uint64_t> bad;
    auto feed = [&] {
        std::size_t n = pieces.empty() ? doc.size() : pieces[turn++ % pieces.size()];
        if (n == 0) n = doc.size();
        n = std::min(n, doc.size() - fed);
        window.append(*parser, doc.substr(fed, n));
        fed += n;
        eof = fed == doc.size();
        bad = window.show(*parser, eof);
        run.most_held = std::max(run.most_held, window.capacity());
    };
    feed();
    for (;;) {
        switch (parser->step()) {
            case StreamStep::Node: {
                std::uint64_t count = 0;
                Node* node = parser->take_node(count);
                run.out += render(node);
                run.out += ';';
                release(node);
                break;
            }
            case StreamStep::Error:
                run.out += describe(parser->take_error());
                return run;
            case StreamStep::End:
                run.out += "end";
                return run;
            case StreamStep::NeedInput:
                if (bad) {
                    run.out += "not UTF-8 at " + std::to_string(*bad);
                    return run;
                }
                if (eof) {
                    run.asked_past_end = true;
                    run.out += "input asked for after the end";
                    return run;
                }
                feed();
                break;
        }
    }
}

// The name of the first element, found plainly; empty when a document
// starts with anything else than prolog markup and elements.
inline std::string first_element(std::string_view d) {
    std::size_t i = 0;
    for (;;) {
        i = d.find('<', i);
        if (i == std::string_view::npos || i + 1 >= d.size()) return "";
        auto skip = [&](std::string_view open, std::string_view close) {
            if (d.substr(i, open.size()) != open) return false;
            i = d.find(close, i + open.size());
            if (i != std::string_view::npos) i += close.size();
            return true;
        };
        if (d.substr(i, 9) == "<!DOCTYPE") {
            i = reference::doctype_end(d, i);
            if (i >= d.size()) return "";
            continue;
        }
        if (skip("<!--", "-->") || skip("<![CDATA[", "]]>") || skip("<?", "?>") || skip("<!", ">")) {
            if (i == std::string_view::npos) return "";
            continue;
        }
        if (d[i + 1] == '/') return "";
        std::size_t k = i + 1;
        while (k < d.size() && std::string_view(" \t\n\f\r/>").find(d[k]) == std::string_view::npos) ++k;
        return std::string(d.substr(i + 1, k - i - 1));
    }
}

// What a stream must give first where the reference reads the document
// element whole: its elements named `tag` not inside an earlier one, in
// document order. Nothing when the reference does not read it.
inline std::optional<std::string> reference_matches(std::string_view doc, std::string_view tag) {
    const std::string root = first_element(doc);
    if (root.empty()) return std::nullopt;
    const RefOutcome whole = reference::parse_root(doc, root);
    if (std::holds_alternative<CoreError>(whole)) return std::nullopt;
    std::string out;
    std::vector<const Element*> todo{&std::get<Element>(whole)};
    while (!todo.empty()) {
        const Element* e = todo.back();
        todo.pop_back();
        if (e->name == tag) {
            out += render(*e);
            out += ';';
            continue;
        }
        for (auto it = e->children.rbegin(); it != e->children.rend(); ++it) todo.push_back(&*it);
    }
    return out;
}

}  // namespace arbolite::check
