// Node.to_dict and Node.from_dict: a node tree to nested dicts, lists and
// strings, and back.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/tree/own_node.hpp"
#include "core/tree/places.hpp"
#include "core/tree/walk.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/collector.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/module_state.hpp"
#include "python/node/methods.hpp"
#include "python/node/node_object.hpp"
#include "python/node/tree_dict.hpp"

namespace arbolite {

namespace {

// ---------------------------------------------------------------- to_dict

Status set_item(handle dict, PyObject* key, handle value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) < 0) return Error::fetch();
    return ok();
}

// Python objects are built straight from the nodes, without an intermediate
// copy, in one pre-order walk. A children list is made at its final length
// and a child's dict stored in its slot as soon as it is made; its own
// children follow. No Python code runs and the collector is paused
// (CollectorPause: these dicts and lists hold no cycle), so nothing sees a
// list before its slots are filled.

// Less than any node's dictionaries take: the dict of four keys, its
// attribute dict and its children list.
constexpr std::uint64_t kDictBytesPerPlace = 256;

// -------------------------------------------------------------- from_dict

// Maps are kept in one flat arena and a list of children is a list of arena
// indices, so neither building nor freeing the maps recurses, whatever the
// depth of the structure.
using Index = std::size_t;
// A value of a node dictionary. The declaration order is the order in which
// the shapes are tried.
using StringPairs = std::vector<std::pair<std::string, std::string>>;
using HashmapTypes = std::variant<std::string, std::vector<Index>, std::optional<std::string>, StringPairs>;
enum Variant : int { kString, kVec, kNullableString, kMap };
constexpr const char* kVariantNames[] = {"String", "Vec", "NullableString", "Map"};

// Only the four keys that building a node looks at are kept; the values of
// other keys are read (so that their errors count) and dropped.
enum Key : int { kName, kAttrs, kChildren, kText, kOther };
struct NodeMap {
    std::optional<HashmapTypes> slots[4];
};
using MapArena = std::vector<NodeMap>;

Key key_slot(std::string_view key) {
    if (key == "name") return kName;
    if (key == "attrs") return kAttrs;
    if (key == "children") return kChildren;
    if (key == "text") return kText;
    return kOther;
}

// The size guards of every dict that is read: the caller's code (a custom
// sequence's __len__ or __iter__) may change a dict while it is read.
void check_unchanged(handle dict, Py_ssize_t size, Py_ssize_t seen) {
    if (PyDict_Size(dict.ptr()) != size) fatal("dictionary changed size during iteration");
    if (seen > size) fatal("dictionary keys changed during iteration");
}

// Pairs in dict order; keys that spell the same text (possible only with str
// subclasses) are merged when the node is built.
Result<StringPairs> read_string_map(handle obj) {
    if (!PyDict_Check(obj.ptr())) return type_error(obj, "dict");
    const Py_ssize_t size = PyDict_Size(obj.ptr());
    StringPairs map;
    map.reserve(static_cast<size_t>(size));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *key, *value;
    for (;;) {
        check_unchanged(obj, size, seen);
        if (!PyDict_Next(obj.ptr(), &pos, &key, &value)) return map;
        ++seen;
        object k = borrow(key), v = borrow(value);
        ARBOLITE_TRY(key_text, utf8_view(k));
        ARBOLITE_TRY(value_text, utf8_view(v));
        map.emplace_back(std::string(key_text), std::string(value_text));
    }
}

// The name of collections.abc.Sequence, which the messages name.
std::string sequence_name() { return "Sequence"; }

// The failure of a shape that runs no code of the caller's, so it can be
// produced again: only called for a value that the shape does not fit.
Error pure_failure(Variant variant, handle obj) {
    switch (variant) {
        case kString:
        case kNullableString:
            if (PyUnicode_Check(obj.ptr())) return std::move(utf8_view(obj)).error();  // not encodable
            return type_error(obj, "str");
        case kVec:
            if (PyUnicode_Check(obj.ptr())) return Error::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return type_error(obj, sequence_name().c_str());
        case kMap: return type_error(obj, "dict");
    }
    fatal("unknown HashmapTypes variant");
}

// "{type}: {str}", then ", caused by {type}: {str}" for each cause in turn.
std::string describe(handle exc) {
    std::string out;
    std::vector<PyObject*> seen;  // a cycle of causes ends the chain
    object current = borrow(exc.ptr());
    while (current) {
        if (!out.empty()) out += ", caused by ";
        out += type_qualname(Py_TYPE(current.ptr()));
        out += ": ";
        object text = steal(PyObject_Str(current.ptr()));
        object bytes;
        if (text) bytes = steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
        if (bytes) {
            out.append(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        } else {
            PyErr_Clear();
            out += "<exception str() failed>";
        }
        seen.push_back(current.ptr());
        current = steal(PyException_GetCause(current.ptr()));
        for (PyObject* s : seen) {
            if (current.ptr() == s) current = object();
        }
    }
    return out;
}

std::string describe(Error&& error) { return describe(std::move(error).materialize()); }

std::string variant_line(Variant v, std::string_view cause) {
    std::string line = "\n- variant ";
    line += kVariantNames[v];
    line += " (";
    line += kVariantNames[v];
    line += "): TypeError: failed to extract field HashmapTypes::";
    line += kVariantNames[v];
    line += ".0, caused by ";
    line += cause;
    return line;
}

constexpr std::string_view kEnumHeader = "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')";

// Reads a Python structure into NodeMaps, checking only types. The nesting is
// walked with an explicit stack: one level per dict being read, together with
// the list of node dicts that one of its values is being read as.
class Reader {
public:
    Result<Index> read(handle root) {
        ARBOLITE_CHECK(open(root));
        for (;;) {
            Level& top = stack_.back();
            if (top.iter) {
                object item = steal(PyIter_Next(top.iter.ptr()));
                if (item) {
                    Status opened = open(item);  // may move `top`
                    if (!opened) return unwind(std::move(opened).error(), true);
                    if (on_a_cycle()) {
                        stack_.clear();
                        return Error::deferred(PyExc_ValueError, "Circular reference detected");
                    }
                    continue;
                }
                if (PyErr_Occurred()) return unwind(Error::fetch(), true);
                top.iter = object();
                top.seq = object();
                std::vector<Index> items = std::exchange(top.items, {});
                if (top.slot != kOther) arena_[top.map].slots[top.slot].emplace(std::in_place_index<kVec>, std::move(items));
                continue;
            }
            check_unchanged(top.dict, top.size, top.seen);
            PyObject *key, *value;
            if (!PyDict_Next(top.dict.ptr(), &top.pos, &key, &value)) {
                const Index done = top.map;
                stack_.pop_back();
                if (stack_.empty()) return done;
                stack_.back().items.push_back(done);
                continue;
            }
            ++top.seen;
            // Strong references: reading the value may run code that drops the entry.
            object k = borrow(key), v = borrow(value);
            auto key_text = utf8_view(k);
            if (!key_text) return unwind(std::move(key_text).error(), false);
            top.slot = key_slot(*key_text);
            auto flat = flat_value(v);
            if (!flat) return unwind(std::move(flat).error(), false);
            if (*flat) {
                store(top, std::move(**flat));
                continue;
            }
            // A sequence: its items become the next levels.
            const Py_ssize_t hint = PyObject_Size(v.ptr());
            if (hint < 0) {
                PyErr_Clear();
            } else if (PyList_CheckExact(v.ptr()) || PyTuple_CheckExact(v.ptr())) {
                top.items.reserve(static_cast<size_t>(hint));
            } else {
                // Any other sequence's length is only its own claim; don't let it size memory.
                top.items.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 1024)));
            }
            top.seq = std::move(v);
            top.iter = steal(PyObject_GetIter(top.seq.ptr()));
            if (!top.iter) return unwind(Error::fetch(), true);
        }
    }

    MapArena& arena() { return arena_; }

    // The error to raise for a failed read.
    Error finish(Error error) {
        if (!nested_) return error;
        return Error::deferred(PyExc_TypeError, std::move(*nested_).join());
    }

private:
    struct Level {
        object dict;
        Py_ssize_t size, pos, seen;
        Index map;  // in the arena
        Key slot;   // where the current value goes
        // The current value while it is read as a list of node dicts.
        object seq, iter;
        std::vector<Index> items;
    };

    Status open(handle dict) {
        if (!PyDict_Check(dict.ptr())) return type_error(dict, "dict");
        arena_.emplace_back();
        stack_.push_back(Level{borrow(dict.ptr()), PyDict_Size(dict.ptr()), 0, 0, arena_.size() - 1, kOther, {}, {}, {}});
        return ok();
    }

    // A dict among its own descendants is an infinite tree: reading it would
    // only stop when memory ran out. Such a path repeats, so it contains the
    // same dict twice by the time its depth doubles; checking the whole path
    // at every power-of-two depth finds it at a cost linear in the depth.
    bool on_a_cycle() {
        const size_t depth = stack_.size();
        if (depth < 64 || (depth & (depth - 1)) != 0) return false;
        std::vector<PyObject*> path;
        path.reserve(depth);
        for (const Level& level : stack_) path.push_back(level.dict.ptr());
        std::sort(path.begin(), path.end());
        return std::adjacent_find(path.begin(), path.end()) != path.end();
    }

    void store(Level& level, HashmapTypes&& value) {
        if (level.slot != kOther) arena_[level.map].slots[level.slot] = std::move(value);
    }

    // A value that needs no further level: a string, None or a dict of
    // strings. Empty for a sequence, whose items are read next.
    Result<std::optional<HashmapTypes>> flat_value(handle obj) {
        using Flat = std::optional<HashmapTypes>;
        PyObject* p = obj.ptr();
        // The type decides which shape can fit; the shapes before it fail
        // without running any code, so only that one is tried.
        if (PyUnicode_Check(p)) {
            auto s = utf8_copy(obj);
            if (s) return Flat(std::in_place, std::in_place_index<kString>, std::move(*s));
            return no_variant(obj, kString, std::move(s).error());
        }
        if (p == Py_None) return Flat(std::in_place, std::in_place_index<kNullableString>, std::nullopt);
        if (PyDict_Check(p)) {
            auto m = read_string_map(obj);
            if (m) return Flat(std::in_place, std::in_place_index<kMap>, std::move(*m));
            return no_variant(obj, kMap, std::move(m).error());
        }
        if (PySequence_Check(p)) return Flat();
        return no_variant(obj, kVec, type_error(obj, sequence_name().c_str()));
    }

    // A failed read: every enclosing level is dropped. A level whose value was
    // being read as a list fails that value, and so its own dict, in turn.
    // `in_list` tells whether the error is one of the top level's list.
    Error unwind(Error error, bool in_list) {
        for (;;) {
            if (in_list) error = no_variant(stack_.back().seq, kVec, std::move(error));
            stack_.pop_back();
            if (stack_.empty()) return error;
            in_list = true;
        }
    }

    // The text of a composite TypeError. When a child's value fails, the
    // message of every enclosing list embeds the one below it; the pieces are
    // kept apart and joined once, so a failure deep down costs time linear in
    // the depth rather than quadratic.
    struct NestedMessage {
        std::string core;
        std::vector<std::string> heads, tails;  // innermost first

        std::string join() && {
            size_t total = core.size();
            for (auto& h : heads) total += h.size();
            for (auto& t : tails) total += t.size();
            std::string out;
            out.reserve(total);
            for (auto h = heads.rbegin(); h != heads.rend(); ++h) out += *h;
            out += core;
            for (auto& t : tails) out += t;
            return out;
        }
    };

    // Every shape failed for `obj`; `tried` is the one whose failure is `error`.
    Error no_variant(handle obj, Variant tried, Error error) {
        if (nested_) {
            // A composite failure below: wrap it in one more level.
            if (tried != kVec) fatal("a nested HashmapTypes failure outside a list");
            std::string head(kEnumHeader);
            head += variant_line(kString, describe(pure_failure(kString, obj)));
            head += variant_line(kVec, "TypeError: ");
            std::string tail = variant_line(kNullableString, describe(pure_failure(kNullableString, obj)));
            tail += variant_line(kMap, describe(pure_failure(kMap, obj)));
            nested_->heads.push_back(std::move(head));
            nested_->tails.push_back(std::move(tail));
            return placeholder();
        }
        object exc = std::move(error).materialize();
        // Running out of memory is no shape mismatch: it ends the read as it is.
        if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_MemoryError)) return Error::from_exception(std::move(exc));
        std::string message(kEnumHeader);
        for (int i = kString; i <= kMap; ++i) {
            const Variant v = static_cast<Variant>(i);
            message += variant_line(v, v == tried ? describe(exc) : describe(pure_failure(v, obj)));
        }
        nested_ = NestedMessage{std::move(message), {}, {}};
        return placeholder();
    }

    // Stands in for the composite TypeError while it is assembled; finish()
    // replaces it. Nothing recovers from a failed value, so once the composite
    // exists, every error on the way up is this one.
    static Error placeholder() { return Error::deferred(PyExc_TypeError, std::string()); }

    MapArena arena_;
    std::vector<Level> stack_;
    std::optional<NestedMessage> nested_;
};

// Builds the nodes from the maps, checking the keys, with an explicit stack.
// A node's own keys are checked before any of its children is built, and the
// children one after another, so the first error in pre-order wins. A node is
// made once its children exist.
Result<object> build(MapArena& arena, Index root, PyTypeObject* type) {
    struct Frame {
        NodeMap* map;
        const std::vector<Index>* children;
        std::size_t next_child;
        std::vector<object> built;  // its children's nodes so far
    };
    std::vector<Frame> stack;

    auto open_node = [&](Index i) -> Status {
        auto& slots = arena[i].slots;
        auto is = [&](Key key, Variant v) { return slots[key] && slots[key]->index() == static_cast<size_t>(v); };
        if (!is(kName, kString)) return Error::deferred(PyExc_ValueError, "Invalid name");
        if (!is(kAttrs, kMap)) return Error::deferred(PyExc_ValueError, "Invalid attrs");
        if (!is(kChildren, kVec)) return Error::deferred(PyExc_ValueError, "Invalid children");
        const auto& children = std::get<kVec>(*slots[kChildren]);
        stack.push_back(Frame{&arena[i], &children, 0, {}});
        stack.back().built.reserve(children.size());
        return ok();
    };

    auto make = [type](Frame& f) -> object {
        auto& slots = f.map->slots;
        std::optional<std::string_view> text;
        if (slots[kText] && slots[kText]->index() == kString) {
            text = std::get<kString>(*slots[kText]);
        } else if (slots[kText] && slots[kText]->index() == kNullableString) {
            const auto& t = std::get<kNullableString>(*slots[kText]);
            if (t) text = *t;
        }  // missing, a list or a dict: no text
        std::vector<Attr> attrs;
        const StringPairs& pairs = std::get<kMap>(*slots[kAttrs]);
        attrs.reserve(pairs.size());
        for (const auto& [k, v] : pairs) attrs.push_back(Attr{k, v});
        merge_duplicate_keys(attrs);
        std::vector<Node*> children;
        children.reserve(f.built.size());
        for (const object& c : f.built) children.push_back(as_node(c.ptr()));
        Node* node = make_own_node(type, std::get<kString>(*slots[kName]), attrs, children.data(),
                                   children.size(), text);
        for (object& c : f.built) c.release();  // now held by the node
        Py_INCREF(type);
        return steal(as_object(node));
    };

    ARBOLITE_CHECK(open_node(root));
    for (;;) {
        Frame& top = stack.back();
        if (top.next_child < top.children->size()) {
            ARBOLITE_CHECK(open_node((*top.children)[top.next_child++]));
            continue;
        }
        object node = make(top);
        stack.pop_back();
        if (stack.empty()) return node;
        stack.back().built.push_back(std::move(node));
    }
}

constexpr Params kFromDictParams{"Node", "from_dict", {"dict_"}, 1, 1};

}  // namespace

// Names and keys come from the module's one cache of names, so a document's
// few dozen names become a few dozen strs however many dicts use them.
Result<object> tree_to_dict(Node* root, NameCache& names, NameCache& values) {
    CollectorPause pause;
    struct Keys {
        PyObject* name;
        PyObject* attrs;
        PyObject* children;
        PyObject* text;
    } k{names.key(NameCache::kName), names.key(NameCache::kAttrs), names.key(NameCache::kChildren),
        names.key(NameCache::kText)};
    if (!k.name || !k.attrs || !k.children || !k.text) {
        return Error::deferred(PyExc_RuntimeError, "arbolite's module has been torn down");
    }
    struct Visitor {
        const Keys& k;
        NameCache& cache;
        NameCache& values;
        // The children list of each open node, and how many of its slots hold a dict.
        struct Open {
            object list;
            Py_ssize_t filled;
        };
        std::vector<Open> lists;
        object result;
        std::optional<Error> error;

        Status open(Node* n) {
            object dict = steal(check_created(PyDict_New()));
            object name = cache.get(node_name(n));
            ARBOLITE_CHECK(set_item(dict, k.name, name));
            object attrs = steal(check_created(PyDict_New()));
            for (const Attr a : node_attrs(n)) {
                object key = cache.get(a.key);
                object value = values.get(a.value);
                if (PyDict_SetItem(attrs.ptr(), key.ptr(), value.ptr()) < 0) return Error::fetch();
            }
            ARBOLITE_CHECK(set_item(dict, k.attrs, attrs));
            object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(n->child_count))));
            ARBOLITE_CHECK(set_item(dict, k.children, list));
            const auto text = node_text(n);
            ARBOLITE_CHECK(set_item(dict, k.text, text ? values.get(*text) : borrow(Py_None)));
            if (lists.empty()) {
                result = dict;
            } else {
                Open& parent = lists.back();
                if (parent.filled >= PyList_GET_SIZE(parent.list.ptr())) fatal("a node has more children than it counts");
                PyList_SET_ITEM(parent.list.ptr(), parent.filled++, dict.release());
            }
            lists.push_back(Open{std::move(list), 0});
            return ok();
        }
        SignalCheck signals;
        Node* root;
        bool weighed = false;

        // A tree that shares nodes makes a dict per place: weighed at the
        // first node that may be shared, and refused before more is built
        // when the dicts could never be held.
        Status check(Node* n, std::size_t depth) {
            ARBOLITE_CHECK(signals());
            if (weighed || depth == 0 || n->head.refcount <= 1) return ok();
            weighed = true;
            const std::uint64_t places = weigh_places(root, [](const Node*) -> std::uint64_t { return 1; });
            const std::uint64_t bytes = saturating_mul(places, kDictBytesPerPlace);
            if (bytes > memory_limit()) return result_too_large("the dictionaries", bytes);
            return ok();
        }
        Walk enter(Node* n, std::size_t depth) {
            Status s = check(n, depth);
            if (s) s = open(n);
            if (!s) {
                error.emplace(std::move(s).error());
                return Walk::Stop;
            }
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {
            if (lists.back().filled != PyList_GET_SIZE(lists.back().list.ptr())) fatal("a node has fewer children than it counts");
            lists.pop_back();
        }
    } visitor{k, names, values, {}, {}, std::nullopt, {}, root};
    if (!walk_preorder(root, visitor)) return std::move(*visitor.error);
    return std::move(visitor.result);
}

PyObject* node_to_dict(PyObject* self, PyObject*) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, node_receiver(self));
        ModuleState& st = type_state(Py_TYPE(self));
        return tree_to_dict(node, st.names, st.values);
    });
}

PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kFromDictParams, args, nargs, kwnames));
        Reader reader;
        auto root = reader.read(slots[0]);
        if (!root) return argument_error("dict_", reader.finish(std::move(root).error()));
        return build(reader.arena(), *root, reinterpret_cast<PyTypeObject*>(cls));
    });
}

}  // namespace arbolite
