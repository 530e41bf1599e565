#include "core/tree/serial.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/varint.hpp"
#include "core/text/utf8.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/own_node.hpp"
#include "core/tree/walk.hpp"

namespace arbolite {

// ------------------------------------------------------------------ writing

namespace {

// The name and attributes of a node lie in its payload in the blob's own
// string form, so they are copied as one run.
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

    struct Writer {
        ByteBuffer& out;
        std::unordered_map<const Node*, std::uint64_t> seen;  // shared nodes: their number
        std::uint64_t count = 0;

        Walk enter(Node* n, std::size_t) {
            if (n->head.refcount != 1) {
                auto [it, added] = seen.try_emplace(n, count);
                if (!added) {
                    char head[1 + kMaxVarintBytes];
                    head[0] = static_cast<char>(kRecordRef);
                    const char* end = put_varint(head + 1, it->second);
                    out.append(head, static_cast<std::size_t>(end - head));
                    return Walk::Over;
                }
            }
            ++count;
            const char* payload = name_field_of(n);
            const std::size_t payload_bytes = static_cast<std::size_t>(payload_end(n) - payload);
            const auto text = node_text(n);
            const std::size_t bound =
                1 + 3 * kMaxVarintBytes + payload_bytes + (text ? text->size() : 0);
            const std::size_t at = out.size();
            out.reserve(at + bound);
            char* p = out.data() + at;
            *p++ = static_cast<char>(text ? kRecordNodeText : kRecordNode);
            p = put_varint(p, n->attr_count);
            p = put_varint(p, n->child_count);
            std::memcpy(p, payload, payload_bytes);
            p += payload_bytes;
            if (text) p = put_string(p, *text);
            out.resize(static_cast<std::size_t>(p - out.data()));
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {}
    } writer{out, {}, 0};
    walk_preorder(const_cast<Node*>(root), writer);

    std::uint64_t v = writer.count;
    for (std::size_t i = 0; i < 8; ++i, v >>= 8) out.data()[count_at + i] = static_cast<char>(v & 0xFF);
}

// ------------------------------------------------------------------ reading

std::string SerialError::message() const {
    return "invalid node data at byte " + std::to_string(offset) + ": " + reason;
}

namespace {

class Restorer {
public:
    Restorer(std::string_view blob, const void* type) noexcept
        : begin_(blob.data()), p_(blob.data()), end_(blob.data() + blob.size()), type_(type) {}

    // Frees every node made, each once: they are all in made_, and a node
    // owns nothing but its own block besides the references it holds.
    ~Restorer() {
        if (!done_) {
            for (Node* n : made_) {
                if (n) free_node_storage(n);
            }
        }
    }

    std::variant<RestoredTree, SerialError> run() {
        if (static_cast<std::size_t>(end_ - p_) < sizeof kSerialMagic + 1 ||
            std::memcmp(p_, kSerialMagic, sizeof kSerialMagic) != 0) {
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
                if (!varint(index)) return fail("truncated reference");
                if (index >= made_.size()) return fail_at(record, "reference to a node not yet written");
                finished = made_[static_cast<std::size_t>(index)];
                if (!finished) return fail_at(record, "reference to a node that contains it");
                ++finished->head.refcount;
            } else if (kind == kRecordNode || kind == kRecordNodeText) {
                std::optional<SerialError> error = open_node(record, kind == kRecordNodeText, finished);
                if (error) return std::move(*error);
                if (!finished) continue;  // children follow
            } else {
                return fail_at(record, "unknown record kind " + std::to_string(kind));
            }
            // A node is complete: it goes to its parent, which may complete in turn.
            for (;;) {
                if (frames_.empty()) {
                    if (p_ != end_) return fail("data after the tree");
                    if (made_.size() != count) return fail_at(begin_, "node count does not match the tree");
                    done_ = true;
                    return RestoredTree{finished, made_.size()};
                }
                Frame& parent = frames_.back();
                children_.push_back(finished);
                if (--parent.children_left != 0) break;
                finished = build(parent);
                frames_.pop_back();
            }
        }
    }

private:
    struct Frame {
        std::size_t index;  // in made_
        std::string_view name;
        std::optional<std::string_view> text;
        std::size_t attrs_begin;  // in attrs_
        std::size_t children_begin;  // in children_
        std::uint64_t children_left;
    };

    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    SerialError fail(std::string reason) const { return fail_at(p_, std::move(reason)); }
    SerialError fail_at(const char* at, std::string reason) const {
        return SerialError{static_cast<std::uint64_t>(at - begin_), std::move(reason)};
    }

    bool varint(std::uint64_t& v) noexcept {
        std::uint64_t out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            const auto b = static_cast<unsigned char>(*p_++);
            if (shift == 63 && b > 1) return false;  // past 64 bits
            out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (b < 0x80) {
                // Only the shortest form: a string's prefix length is then
                // varint_size of its length, which the key set relies on.
                if (b == 0 && shift != 0) return false;
                v = out;
                return true;
            }
        }
        return false;
    }

    std::optional<SerialError> string(std::string_view& s, const char* what) {
        const char* at = p_;
        std::uint64_t len;
        if (!varint(len) || len > left()) return fail_at(at, std::string("truncated ") + what);
        s = std::string_view(p_, static_cast<std::size_t>(len));
        p_ += len;
        if (!is_valid_utf8(s)) return fail_at(at, std::string(what) + " is not UTF-8");
        return std::nullopt;
    }

    // Reads a node's own fields; a node without children is made at once
    // (`finished`), any other waits in a frame for them.
    std::optional<SerialError> open_node(const char* record, bool has_text, Node*& finished) {
        std::uint64_t attr_count, child_count;
        if (!varint(attr_count) || !varint(child_count)) return fail_at(record, "truncated node");
        // Each attribute takes two bytes at least, each child record two.
        if (attr_count > UINT32_MAX || attr_count > left() / 2) return fail_at(record, "attribute count beyond the data");
        if (child_count > UINT32_MAX || child_count > left() / 2) return fail_at(record, "child count beyond the data");
        Frame f{made_.size(), {}, std::nullopt, attrs_.size(), children_.size(), child_count};
        if (auto e = string(f.name, "name")) return e;
        for (std::uint64_t i = 0; i < attr_count; ++i) {
            Attr a;
            if (auto e = string(a.key, "attribute name")) return e;
            if (auto e = string(a.value, "attribute value")) return e;
            attrs_.push_back(a);
        }
        if (has_text) {
            std::string_view t;
            if (auto e = string(t, "text")) return e;
            f.text = t;
        }
        if (has_duplicate_key(f.attrs_begin)) return fail_at(record, "repeated attribute name");
        made_.push_back(nullptr);
        if (child_count == 0) {
            finished = build(f);
        } else {
            frames_.push_back(f);
        }
        return std::nullopt;
    }

    bool has_duplicate_key(std::size_t begin) {
        const std::size_t n = attrs_.size() - begin;
        if (n < 2) return false;
        if (n <= kAttrScanLimit) {
            for (std::size_t i = begin; i < attrs_.size(); ++i) {
                for (std::size_t j = i + 1; j < attrs_.size(); ++j) {
                    if (attrs_[i].key == attrs_[j].key) return true;
                }
            }
            return false;
        }
        // Keyed hashing: names chosen to collide cannot make this quadratic.
        // The set reads keys in their prefixed form, which the blob holds.
        auto prefixed = [](std::string_view key) { return key.data() - varint_size(key.size()); };
        keys_.reset();
        const char* base = prefixed(attrs_[begin].key);
        for (std::size_t i = begin; i < attrs_.size(); ++i) {
            if (!keys_.insert(base, static_cast<std::uint64_t>(prefixed(attrs_[i].key) - base))) return true;
        }
        return false;
    }

    Node* build(const Frame& f) {
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
    bool done_ = false;
    std::vector<Node*> made_;      // every node by number; null while its children are read
    std::vector<Frame> frames_;    // the open nodes, outermost first
    std::vector<Attr> attrs_;      // the open nodes' attributes, one run each
    std::vector<Node*> children_;  // the open nodes' finished children, one run each
    std::vector<Attr> scratch_;
    AttrKeySet keys_;
};

}  // namespace

std::variant<RestoredTree, SerialError> restore_tree(std::string_view blob, const void* type) {
    Restorer restorer(blob, type);
    return restorer.run();
}

}  // namespace arbolite
