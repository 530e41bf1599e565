#include "core/tree/serial.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/varint.hpp"
#include "core/text/utf8.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/node_builder.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/own_node.hpp"
#include "core/tree/walk.hpp"

namespace arbolite {

// ------------------------------------------------------------------ writing

namespace {

constexpr std::size_t kNoParent = SIZE_MAX;

// Where the name and attributes of a node end.
const char* payload_end(const Node* n) noexcept {
    const char* p = name_field_of(n);
    std::uint64_t len;
    for (std::uint64_t i = 0, strings = 1 + 2 * std::uint64_t{n->attr_count}; i < strings; ++i) {
        p = get_varint(p, len);
        p += len;
    }
    return p;
}

}  // namespace

void serialize_tree(const Node* root, ByteBuffer& out) {
    // The node count is known only at the end: its slot is filled in last.
    out.append(kSerialMagic, sizeof kSerialMagic);
    out.append(reinterpret_cast<const char*>(&kSerialVersion), 1);
    const std::size_t count_at = out.size();
    out.resize(count_at + 8);

    struct Seen {
        std::uint64_t number;
        std::size_t parent;  // where the record of the parent of its first place starts
    };
    struct Writer {
        ByteBuffer& out;
        std::unordered_map<const Node*, Seen> seen;  // nodes that may occur again
        std::vector<std::size_t> open;                 // the records of the open nodes
        std::uint64_t count = 0;

        // A node in several places cannot be linked as the child of each:
        // every parent that holds it keeps its children in an array.
        void mark_array(std::size_t record) noexcept {
            if (record != kNoParent) out.data()[record] = static_cast<char>(out.data()[record] | kChildArray);
        }

        Walk enter(Node* n, std::size_t) {
            const std::size_t parent = open.empty() ? kNoParent : open.back();
            if (n->head.refcount != 1) {
                auto [it, added] = seen.try_emplace(n, Seen{count, parent});
                if (!added) {
                    mark_array(parent);
                    mark_array(std::exchange(it->second.parent, kNoParent));
                    char head[1 + kMaxVarintBytes];
                    head[0] = static_cast<char>(kRecordRef);
                    const char* end = put_varint(head + 1, it->second.number);
                    out.append(head, static_cast<std::size_t>(end - head));
                    return Walk::Over;
                }
            }
            ++count;
            const char* payload = name_field_of(n);
            const std::size_t payload_bytes = static_cast<std::size_t>(payload_end(n) - payload);
            const auto text = node_text(n);
            const std::size_t bound = 1 + 3 * kMaxVarintBytes + payload_bytes + (text ? text->size() : 0);
            const std::size_t at = out.size();
            out.reserve(at + bound);
            char* p = out.data() + at;
            *p++ = static_cast<char>(kRecordNode | (text ? kHasText : 0));
            p = put_varint(p, n->attr_count);
            p = put_varint(p, n->child_count);
            std::memcpy(p, payload, payload_bytes);
            p += payload_bytes;
            if (text) p = put_string(p, *text);
            out.resize(static_cast<std::size_t>(p - out.data()));
            open.push_back(at);
            return Walk::Into;
        }
        void leave(Node*, std::size_t) { open.pop_back(); }
    } writer{out, {}, {}, 0};
    walk_preorder(const_cast<Node*>(root), writer);

    std::uint64_t v = writer.count;
    for (std::size_t i = 0; i < 8; ++i, v >>= 8) out.data()[count_at + i] = static_cast<char>(v & 0xFF);
}

// ------------------------------------------------------------------ reading

namespace {

// Names, keys and values are mostly a few ASCII bytes: those are checked in
// place, eight at a time, before the validator is called.
[[gnu::always_inline]] inline bool utf8(std::string_view s) noexcept {
    if (s.size() <= 64) {
        std::uint64_t high = 0;
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            high |= w;
        }
        for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
        if ((high & 0x8080808080808080ULL) == 0) return true;
    }
    return is_valid_utf8(s);
}

class Restorer {
public:
    Restorer(std::string_view blob, const void* type) noexcept
        : begin_(blob.data()), p_(blob.data()), end_(blob.data() + blob.size()), type_(type), arena_(blob.size()) {}

    // On failure the arena frees the parsed nodes with its slabs; the own
    // ones are freed here, each once (they hold no memory but their own
    // block and references).
    ~Restorer() {
        if (done_) return;
        for (Node* n : made_) {
            if (n && n->is_own()) free_node_storage(n);
        }
    }

    std::variant<RestoredTree, CoreError> run() {
        if (left() < sizeof kSerialMagic + 1 || std::memcmp(p_, kSerialMagic, sizeof kSerialMagic) != 0) {
            return fail("not arbolite node data");
        }
        p_ += sizeof kSerialMagic;
        if (static_cast<unsigned char>(*p_) != kSerialVersion) {
            return fail("format version " + std::to_string(static_cast<unsigned char>(*p_)) +
                        " is not one this version reads");
        }
        ++p_;
        if (left() < 8) return fail("truncated header");
        std::uint64_t count = 0;
        for (int i = 7; i >= 0; --i) count = count << 8 | static_cast<unsigned char>(p_[i]);
        p_ += 8;
        // Every record takes at least two bytes; a claim beyond that sizes nothing.
        made_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, left() / 2)));

        for (;;) {
            const char* record = p_;
            if (p_ == end_) return fail("data ends inside the tree");
            const auto kind = static_cast<unsigned char>(*p_++);
            Node* finished = nullptr;
            if (kind == kRecordRef) {
                std::uint64_t index;
                if (!varint(index)) return fail_at(record, "truncated reference");
                if (index >= made_.size()) return fail_at(record, "reference to a node not yet written");
                finished = made_[static_cast<std::size_t>(index)];
                if (!finished) return fail_at(record, "reference to a node that contains it");
                if (frames_.empty() || !frames_.back().array()) {
                    return fail_at(record, "reference under a node without a child array");
                }
                ++finished->head.refcount;
            } else if ((kind & ~(kHasText | kChildArray)) == kRecordNode) {
                if (auto error = open_node(record, kind, finished)) return std::move(*error);
                if (!finished) continue;  // its children follow
            } else {
                return fail_at(record, "unknown record kind " + std::to_string(kind));
            }
            // A node is complete: it goes to its parent, which may complete in turn.
            for (;;) {
                if (frames_.empty()) {
                    if (p_ != end_) return fail("data after the tree");
                    if (made_.size() != count) return fail_at(begin_, "node count does not match the tree");
                    arena_.publish();
                    done_ = true;
                    return RestoredTree{finished, made_.size()};
                }
                Frame& parent = frames_.back();
                if (parent.array()) {
                    children_.push_back(finished);
                } else {
                    if (parent.last_child) {
                        parent.last_child->next_sibling = finished;
                    } else {
                        parent.node->first_child = finished;
                    }
                    parent.last_child = finished;
                }
                if (--parent.children_left != 0) break;
                if (parent.array()) {
                    finished = build_own(owns_.back());
                    owns_.pop_back();
                } else {
                    finished = parent.node;
                }
                made_[parent.index] = finished;
                frames_.pop_back();
            }
        }
    }

private:
    // Small, since a chain a million deep keeps a million of them.
    struct Frame {
        std::size_t index;  // in made_
        std::uint64_t children_left;
        Node* node;        // a parsed node, made already; null for an own node (in owns_)
        Node* last_child;  // of a parsed node, whose children are linked as they complete
        bool array() const noexcept { return node == nullptr; }
    };
    // An own node waiting for its children: its fields, and its runs of
    // attrs_ and children_.
    struct Own {
        std::size_t index;
        std::string_view name;
        std::optional<std::string_view> text;
        std::size_t attrs_begin;
        std::size_t children_begin;
    };

    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    CoreError fail(std::string reason) const { return fail_at(p_, std::move(reason)); }
    CoreError fail_at(const char* at, std::string reason) const {
        return CoreError::bad_blob(static_cast<std::uint64_t>(at - begin_), std::move(reason));
    }

    bool varint(std::uint64_t& v) noexcept {
        std::uint64_t out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            const auto b = static_cast<unsigned char>(*p_++);
            if (shift == 63 && b > 1) return false;  // past 64 bits
            out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (b < 0x80) {
                // Only the shortest form: strings then lie exactly as a node
                // stores them, which the verbatim copies rely on.
                if (b == 0 && shift != 0) return false;
                v = out;
                return true;
            }
        }
        return false;
    }

    // A string's bytes, unchecked as text; `long_prefix` is set when its
    // length took more than one byte. False at the end of the data.
    [[gnu::always_inline]] bool string(std::string_view& s, bool& long_prefix) noexcept {
        if (p_ != end_) [[likely]] {
            const auto b = static_cast<unsigned char>(*p_);
            if (b < 0x80 && b < left()) [[likely]] {
                s = std::string_view(p_ + 1, b);
                p_ += 1 + b;
                return true;
            }
        }
        std::uint64_t len;
        if (!varint(len) || len > left()) return false;
        long_prefix = true;
        s = std::string_view(p_, static_cast<std::size_t>(len));
        p_ += len;
        return true;
    }

    // Reads a node's record. A parsed node is made at once, in document
    // order; an own one once its children are. A node without children is
    // complete (`finished`); any other waits in a frame for them.
    std::optional<CoreError> open_node(const char* record, unsigned char kind, Node*& finished) {
        std::uint64_t attr_count, child_count;
        if (!varint(attr_count) || !varint(child_count)) return fail_at(record, "truncated node");
        // Each attribute takes two bytes at least, each child record two.
        if (attr_count > UINT32_MAX || attr_count > left() / 2) return fail_at(record, "attribute count beyond the data");
        if (child_count > UINT32_MAX || child_count > left() / 2) return fail_at(record, "child count beyond the data");

        const char* payload = p_;
        bool long_prefix = false;
        std::string_view name;
        if (!string(name, long_prefix)) return fail_at(record, "truncated name");
        const char* first_attr = p_;
        const std::size_t attrs_begin = attrs_.size();
        // Kept for an own node, and for the duplicate check of two or more.
        const bool keep = (kind & kChildArray) || attr_count > 1;
        for (std::uint64_t i = 0; i < attr_count; ++i) {
            Attr a;
            if (!string(a.key, long_prefix) || !string(a.value, long_prefix)) return fail_at(record, "truncated attribute");
            if (keep) attrs_.push_back(a);
        }
        const std::string_view region(payload, static_cast<std::size_t>(p_ - payload));
        std::optional<std::string_view> text;
        if (kind & kHasText) {
            bool unused = false;
            std::string_view t;
            if (!string(t, unused)) return fail_at(record, "truncated text");
            text = t;
        }
        // One-byte prefixes are ASCII characters, which no multi-byte
        // character can contain: the run is UTF-8 exactly when each string is.
        if (long_prefix ? !each_utf8(first_attr, attr_count, name) : !utf8(region)) {
            return fail_at(record, "a name or attribute is not UTF-8");
        }
        if (text && !utf8(*text)) return fail_at(record, "text is not UTF-8");
        if (has_duplicate_key(attrs_begin, first_attr)) return fail_at(record, "repeated attribute name");

        const std::size_t index = made_.size();
        made_.push_back(nullptr);
        if (kind & kChildArray) {
            const Own own{index, name, text, attrs_begin, children_.size()};
            if (child_count == 0) {
                finished = build_own(own);
            } else {
                frames_.push_back(Frame{index, child_count, nullptr, nullptr});
                owns_.push_back(own);
            }
            return std::nullopt;
        }
        attrs_.resize(attrs_begin);
        Node* node = make_parsed(region, static_cast<std::uint32_t>(attr_count), static_cast<std::uint32_t>(child_count), text);
        if (child_count == 0) {
            made_[index] = node;
            finished = node;
        } else {
            frames_.push_back(Frame{index, child_count, node, nullptr});
        }
        return std::nullopt;
    }

    // The strings of a run that holds long prefixes, one by one (the run
    // was read already, so its lengths are known to be in bounds).
    static bool each_utf8(const char* first_attr, std::uint64_t attr_count, std::string_view name) noexcept {
        if (!utf8(name)) return false;
        AttrRange attrs(first_attr, static_cast<std::uint32_t>(attr_count));
        for (const Attr a : attrs) {
            if (!utf8(a.key) || !utf8(a.value)) return false;
        }
        return true;
    }

    // Short lists are scanned; long ones go through the keyed set (so that
    // names chosen to collide cannot make this quadratic), which the index
    // of a parsed node is then made from.
    bool has_duplicate_key(std::size_t begin, const char* first_attr) {
        const std::size_t n = attrs_.size() - begin;
        if (n <= kAttrScanLimit) {
            for (std::size_t i = begin; i < attrs_.size(); ++i) {
                for (std::size_t j = i + 1; j < attrs_.size(); ++j) {
                    if (attrs_[i].key == attrs_[j].key) return true;
                }
            }
            return false;
        }
        keys_.reset();
        for (std::size_t i = begin; i < attrs_.size(); ++i) {
            const char* prefixed = attrs_[i].key.data() - varint_size(attrs_[i].key.size());
            if (!keys_.insert(first_attr, static_cast<std::uint64_t>(prefixed - first_attr))) return true;
        }
        return false;
    }

    // A node laid out as the reader lays one out: header and payload in the
    // arena in document order, the text and a long list's index as objects
    // of their own after it.
    Node* make_parsed(std::string_view region, std::uint32_t attr_count, std::uint32_t child_count,
                      std::optional<std::string_view> text) {
        char* block = arena_.reserve(sizeof(Node) + sizeof(void*) + region.size());
        std::memcpy(block + sizeof(Node), region.data(), region.size());
        Node* node = commit_parsed_node(arena_, block, block + sizeof(Node) + region.size(), attr_count, child_count,
                                        type_, keys_);
        if (text) {
            const TextRoom room = reserve_text(arena_, text->size(), 0);
            std::memcpy(room.bytes, text->data(), text->size());
            commit_text(arena_, node, room, text->size());
        }
        return node;
    }

    Node* build_own(const Own& f) {
        // The children's references pass to the node; the node's own is its parent's.
        scratch_.assign(attrs_.begin() + static_cast<std::ptrdiff_t>(f.attrs_begin), attrs_.end());
        Node* n = make_own_node(type_, f.name, scratch_, children_.data() + f.children_begin,
                                children_.size() - f.children_begin, f.text);
        made_[f.index] = n;
        attrs_.resize(f.attrs_begin);
        children_.resize(f.children_begin);
        return n;
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    const void* type_;
    Arena arena_;
    bool done_ = false;
    std::vector<Node*> made_;      // every node by number; null until its subtree is complete
    std::vector<Frame> frames_;    // the open nodes, outermost first
    std::vector<Own> owns_;        // the open own nodes, outermost first
    std::vector<Attr> attrs_;      // the attributes of the open own nodes (and of the record being read)
    std::vector<Node*> children_;  // the finished children of the open own nodes, one run each
    std::vector<Attr> scratch_;
    AttrKeySet keys_;
};

}  // namespace

std::variant<RestoredTree, CoreError> restore_tree(std::string_view blob, const void* type) {
    Restorer restorer(blob, type);
    return restorer.run();
}

}  // namespace arbolite
