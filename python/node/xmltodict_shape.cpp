// parse_dict and unparse_dict: the dictionaries of the xmltodict package,
// built from the reader's nodes and written back, both natively.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/tree/walk.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/collector.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/boundary/strings.hpp"
#include "python/functions.hpp"
#include "python/module_state.hpp"
#include "python/node/node_object.hpp"
#include "python/read.hpp"

namespace arbolite {

namespace {

// ------------------------------------------------------------- options

// force_list and force_cdata: a bool, or a collection of names asked with `in`.
struct NameRule {
    enum Mode { kNone, kAll, kSome } mode = kNone;
    PyObject* names = nullptr;  // borrowed from the call's arguments

    Result<bool> applies(PyObject* key) const {
        if (mode != kSome) return mode == kAll;
        const int in = PySequence_Contains(names, key);
        if (in < 0) return Error::fetch();
        return in == 1;
    }
};

Result<NameRule> name_rule(PyObject* given, const char* param) {
    NameRule rule;
    if (!given || given == Py_None) return rule;
    if (PyBool_Check(given)) {
        rule.mode = given == Py_True ? NameRule::kAll : NameRule::kNone;
        return rule;
    }
    // As xmltodict asks: an empty collection forces nothing.
    const int truth = PyObject_IsTrue(given);
    if (truth < 0) return argument_error(param, Error::fetch());
    if (truth == 0) return rule;
    if (!PySequence_Check(given) && !PyAnySet_Check(given) && !PyDict_Check(given) &&
        !PyObject_HasAttrString(given, "__contains__")) {
        return Error::deferred(PyExc_TypeError, std::string(param) + " must be a bool or a collection of names, not '" +
                                                    type_qualname(Py_TYPE(given)) + "'");
    }
    rule.mode = NameRule::kSome;
    rule.names = given;
    return rule;
}

Result<bool> truth(PyObject* given, bool fallback, const char* param) {
    if (!given) return fallback;
    const int t = PyObject_IsTrue(given);
    if (t < 0) return argument_error(param, Error::fetch());
    return t == 1;
}

Result<object> str_option(PyObject* given, const char* fallback, const char* param) {
    if (!given) return new_str(fallback);
    if (!PyUnicode_Check(given)) return argument_error(param, type_error(given, "str"));
    return borrow(given);
}

// ------------------------------------------------------------- parse_dict

// The mappings xmltodict makes: plain dicts natively, any other
// dict_constructor through calls, as xmltodict calls it.
class Mappings {
public:
    explicit Mappings(PyObject* constructor)
        : constructor_(constructor), plain_(constructor == reinterpret_cast<PyObject*>(&PyDict_Type)) {}

    Result<object> make() const {
        if (plain_) return steal(check_created(PyDict_New()));
        object m = steal(PyObject_CallNoArgs(constructor_));
        if (!m) return Error::fetch();
        return m;
    }

    // From (key, value) pairs; null when xmltodict's `attrs or None` drops it.
    Result<object> from_pairs(std::vector<std::pair<object, object>>& pairs) const {
        if (plain_) {
            object m = steal(check_created(PyDict_New()));
            for (auto& [k, v] : pairs) {
                if (PyDict_SetItem(m.ptr(), k.ptr(), v.ptr()) < 0) return Error::fetch();
            }
            return m;
        }
        object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            PyObject* pair = check_created(PyTuple_Pack(2, pairs[i].first.ptr(), pairs[i].second.ptr()));
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), pair);
        }
        object m = steal(PyObject_CallOneArg(constructor_, list.ptr()));
        if (!m) return Error::fetch();
        const int t = PyObject_IsTrue(m.ptr());
        if (t < 0) return Error::fetch();
        return t ? m : object();
    }

    // The value under `key`, or null when there is none.
    Result<object> get(handle m, PyObject* key) const {
        if (PyDict_CheckExact(m.ptr())) {
            PyObject* v = PyDict_GetItemWithError(m.ptr(), key);
            if (v) return borrow(v);
            if (PyErr_Occurred()) return Error::fetch();
            return object();
        }
        object v = steal(PyObject_GetItem(m.ptr(), key));
        if (v) return v;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Error::fetch();
        PyErr_Clear();
        return object();
    }

    bool plain() const noexcept { return plain_; }

    static Status set(handle m, PyObject* key, handle value) {
        const int r = PyDict_CheckExact(m.ptr()) ? PyDict_SetItem(m.ptr(), key, value.ptr())
                                                 : PyObject_SetItem(m.ptr(), key, value.ptr());
        if (r < 0) return Error::fetch();
        return ok();
    }

private:
    PyObject* constructor_;
    bool plain_;
};

struct ParseOptions {
    object attr_prefix;
    std::string prefix;  // its UTF-8 text
    object cdata_key;
    NameRule force_list;
    NameRule force_cdata;
    bool xml_attribs = true;
    bool strip_whitespace = true;
};

// Python's str.strip() also strips U+001C..U+001F, which are not Unicode
// White_Space and so stay after the reader's trim.
bool strip_may_differ(std::string_view t) {
    auto odd = [](char c) { return c >= 0x1c && c <= 0x1f; };
    return odd(t.front()) || odd(t.back());
}

class DictBuilder {
public:
    DictBuilder(const ParseOptions& o, NameCache& names, NameCache& values, const Mappings& maps)
        : o_(o), names_(names), values_(values), maps_(maps) {}

    Result<object> build(Node* root) {
        CollectorPause pause;
        struct Visitor {
            DictBuilder& b;
            std::optional<Error> error;
            Walk enter(Node* n, std::size_t) {
                Status s = b.open(n);
                if (!s) {
                    error.emplace(std::move(s).error());
                    return Walk::Stop;
                }
                if (n->child_count != 0) return Walk::Into;
                s = b.close(n);
                if (!s) {
                    error.emplace(std::move(s).error());
                    return Walk::Stop;
                }
                return Walk::Over;
            }
            void leave(Node* n, std::size_t) {
                if (error) return;
                Status s = b.close(n);
                if (!s) error.emplace(std::move(s).error());
            }
        } visitor{*this, std::nullopt};
        // leave() cannot stop the walk; after an error it only unwinds.
        walk_preorder(root, visitor);
        if (visitor.error) return std::move(*visitor.error);
        if (!document_) return borrow(Py_None);
        return std::move(document_);
    }

private:
    // xmltodict's push_data: a second value under a key makes a list.
    Status push(object& item, PyObject* key, handle data) {
        if (!item) {
            ARBOLITE_TRY(made, maps_.make());
            item = std::move(made);
        }
        if (o_.force_list.mode == NameRule::kNone && PyDict_CheckExact(item.ptr())) {
            // The usual case in one lookup: a new key takes the value as it
            // is. Values repeat (None, one-character strs), so the size tells.
            const Py_ssize_t size = PyDict_GET_SIZE(item.ptr());
            PyObject* there = PyDict_SetDefault(item.ptr(), key, data.ptr());
            if (!there) return Error::fetch();
            if (PyDict_GET_SIZE(item.ptr()) != size) return ok();
            return repeat(item, key, borrow(there), data);
        }
        ARBOLITE_TRY(value, maps_.get(item, key));
        if (value) return repeat(item, key, std::move(value), data);
        ARBOLITE_TRY(forced, o_.force_list.applies(key));
        if (forced) {
            object list = steal(check_created(PyList_New(1)));
            PyList_SET_ITEM(list.ptr(), 0, borrow(data.ptr()).release());
            return Mappings::set(item, key, list);
        }
        return Mappings::set(item, key, data);
    }

    // A key seen before: its list grows, or its value becomes a list of two.
    static Status repeat(object& item, PyObject* key, object value, handle data) {
        if (PyList_Check(value.ptr())) {
            if (PyList_Append(value.ptr(), data.ptr()) < 0) return Error::fetch();
            return ok();
        }
        object pair = steal(check_created(PyList_New(2)));
        PyList_SET_ITEM(pair.ptr(), 0, value.release());
        PyList_SET_ITEM(pair.ptr(), 1, borrow(data.ptr()).release());
        return Mappings::set(item, key, pair);
    }

    Result<object> attr_key(std::string_view key) {
        if (o_.prefix.empty()) return names_.get(key);
        // The cache reads past a name's end: the scratch keeps the slack.
        scratch_.assign(o_.prefix);
        scratch_.append(key);
        const std::size_t n = scratch_.size();
        scratch_.append(kReadSlack, '\0');
        return names_.get(std::string_view(scratch_.data(), n));
    }

    Status open(Node* n) {
        ARBOLITE_CHECK(signals_());
        object item;
        if (o_.xml_attribs && n->attr_count != 0) {
            if (maps_.plain()) {
                item = steal(check_created(PyDict_New()));
                for (const Attr a : node_attrs(n)) {
                    ARBOLITE_TRY(key, attr_key(a.key));
                    object value = values_.get(a.value);
                    if (PyDict_SetItem(item.ptr(), key.ptr(), value.ptr()) < 0) return Error::fetch();
                }
            } else {
                pairs_.clear();
                for (const Attr a : node_attrs(n)) {
                    ARBOLITE_TRY(key, attr_key(a.key));
                    pairs_.emplace_back(std::move(key), values_.get(a.value));
                }
                ARBOLITE_TRY(attrs, maps_.from_pairs(pairs_));
                item = std::move(attrs);
            }
        }
        if (n->child_count != 0) items_.push_back(std::move(item));
        else leaf_ = std::move(item);
        return ok();
    }

    Result<object> text(Node* n) {
        const auto t = node_text(n);
        if (!t) return object();
        object s = values_.get(*t);
        if (o_.strip_whitespace && strip_may_differ(*t)) {
            s = steal(PyObject_CallMethod(s.ptr(), "strip", nullptr));
            if (!s) return Error::fetch();
            if (PyUnicode_GET_LENGTH(s.ptr()) == 0) return object();
        }
        return s;
    }

    Status close(Node* n) {
        object item;
        if (n->child_count != 0) {
            item = std::move(items_.back());
            items_.pop_back();
        } else {
            item = std::move(leaf_);
        }
        ARBOLITE_TRY(data, text(n));
        object name = names_.get(node_name(n));
        if (data && !item) {
            ARBOLITE_TRY(forced, o_.force_cdata.applies(name.ptr()));
            if (forced) {
                ARBOLITE_TRY(made, maps_.make());
                item = std::move(made);
            }
        }
        object& parent = items_.empty() ? document_ : items_.back();
        if (item) {
            if (data) ARBOLITE_CHECK(push(item, o_.cdata_key.ptr(), data));
            return push(parent, name.ptr(), item);
        }
        return push(parent, name.ptr(), data ? data : borrow(Py_None));
    }

    const ParseOptions& o_;
    NameCache& names_;
    NameCache& values_;
    const Mappings& maps_;
    std::vector<object> items_;  // the mapping of each open element with children (null: none yet)
    object leaf_;                // that of a childless element, between open and close
    object document_;            // the mapping that holds the document element
    std::vector<std::pair<object, object>> pairs_;
    std::string scratch_;
    SignalCheck signals_;
};

// ----------------------------------------------------------- unparse_dict

// xmltodict writes through xml.sax.saxutils.XMLGenerator; this is its text,
// byte for byte, into one buffer.
struct UnparseOptions {
    object attr_prefix, cdata_key, comment_key;
    std::string indent = "\t";
    bool pretty = false;
    bool full_document = true;
    bool short_empty = false;
};

Error value_error(const std::string& message) { return Error::deferred(PyExc_ValueError, message); }

// xmltodict's _convert_value_to_string.
Result<object> value_string(handle v) {
    PyObject* p = v.ptr();
    if (PyUnicode_Check(p)) return borrow(p);
    if (PyBool_Check(p)) return new_str(p == Py_True ? "true" : "false");
    if (PyBytes_Check(p) || PyByteArray_Check(p) || PyMemoryView_Check(p)) {
        object bytes = steal(PyBytes_FromObject(p));
        if (!bytes) return Error::fetch();
        object s = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()), "replace"));
        if (!s) return Error::fetch();
        return s;
    }
    object s = steal(PyObject_Str(p));
    if (!s) return Error::fetch();
    return s;
}

// xmltodict's _validate_name.
Status check_name(handle value, const char* kind) {
    const std::string k(kind);
    if (!PyUnicode_Check(value.ptr())) return value_error(k + " name must be a string");
    PyObject* s = value.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind_ = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (n > 0) {
        const Py_UCS4 first = PyUnicode_READ(kind_, data, 0);
        if (first == '?' || first == '!') return value_error("Invalid " + k + " name: cannot start with \"?\" or \"!\"");
    }
    bool lt = false, slash = false, quote = false, eq = false, space = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind_, data, i);
        lt |= c == '<' || c == '>';
        slash |= c == '/';
        quote |= c == '"' || c == '\'';
        eq |= c == '=';
        space |= Py_UNICODE_ISSPACE(c) != 0;
    }
    if (lt) return value_error("Invalid " + k + " name: \"<\" or \">\" not allowed");
    if (slash) return value_error("Invalid " + k + " name: \"/\" not allowed");
    if (quote) return value_error("Invalid " + k + " name: quotes not allowed");
    if (eq) return value_error("Invalid " + k + " name: \"=\" not allowed");
    if (space) return value_error("Invalid " + k + " name: whitespace not allowed");
    return ok();
}

Result<bool> equal(handle a, handle b) {
    if (a.ptr() == b.ptr()) return true;
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) return Error::fetch();
    return r == 1;
}

// The (key, value) pairs of a dict, in its order.
Result<std::vector<std::pair<object, object>>> dict_items(handle d) {
    std::vector<std::pair<object, object>> out;
    if (PyDict_CheckExact(d.ptr())) {
        out.reserve(static_cast<std::size_t>(PyDict_Size(d.ptr())));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d.ptr(), &pos, &k, &v)) out.emplace_back(borrow(k), borrow(v));
        return out;
    }
    object items = steal(PyObject_CallMethod(d.ptr(), "items", nullptr));
    if (!items) return Error::fetch();
    object it = steal(PyObject_GetIter(items.ptr()));
    if (!it) return Error::fetch();
    while (object pair = steal(PyIter_Next(it.ptr()))) {
        object k = steal(PySequence_GetItem(pair.ptr(), 0));
        if (!k) return Error::fetch();
        object v = steal(PySequence_GetItem(pair.ptr(), 1));
        if (!v) return Error::fetch();
        out.emplace_back(std::move(k), std::move(v));
    }
    if (PyErr_Occurred()) return Error::fetch();
    return out;
}

class Unparser {
public:
    explicit Unparser(const UnparseOptions& o) : o_(o) {}

    Result<object> run(handle mapping) {
        if (o_.full_document) out_ += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
        ARBOLITE_TRY(items, dict_items(mapping));
        bool seen_root = false;
        for (auto& [key, value] : items) {
            ARBOLITE_TRY(is_comment, equal(key, o_.comment_key));
            if (!is_comment && o_.full_document && seen_root) return value_error("Document must have exactly one root.");
            ARBOLITE_CHECK(emit(key, value));
            if (!is_comment) seen_root = true;
        }
        if (o_.full_document && !seen_root) return value_error("Document must have exactly one root.");
        return new_str(out_);
    }

private:
    struct Frame {
        object key;        // the element name
        object single;     // the one value, or null when `iter` gives them
        object iter;
        Py_ssize_t index = 0;
        std::size_t depth;
        bool open = false;  // inside an element of this key
        std::vector<std::pair<object, object>> children;
        std::size_t next_child = 0;
        object cdata;
        object mapping;  // the dict being written, while `open`
    };

    // A dict among its own values is an infinite document. Its path repeats,
    // so it holds the same dict twice by the time its depth doubles: checking
    // the whole path at every power-of-two depth costs time linear in it.
    bool on_a_cycle() const {
        const std::size_t depth = stack_.size();
        if (depth < 64 || (depth & (depth - 1)) != 0) return false;
        std::vector<PyObject*> path;
        path.reserve(depth);
        for (const Frame& f : stack_) {
            if (f.mapping) path.push_back(f.mapping.ptr());
        }
        std::sort(path.begin(), path.end());
        return std::adjacent_find(path.begin(), path.end()) != path.end();
    }

    // Runs without a character to escape are appended whole.
    template <class Escape>
    void escaped(std::string_view t, Escape&& escape) {
        std::size_t run = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            const char* e = escape(t[i]);
            if (!e) continue;
            out_.append(t.data() + run, i - run);
            out_ += e;
            run = i + 1;
        }
        out_.append(t.data() + run, t.size() - run);
    }

    // saxutils.escape.
    Status write_text(handle s) {
        ARBOLITE_TRY(t, utf8_view(s));
        escaped(t, [](char c) -> const char* {
            if (c == '&') return "&amp;";
            if (c == '<') return "&lt;";
            if (c == '>') return "&gt;";
            return nullptr;
        });
        return ok();
    }

    // saxutils.quoteattr.
    Status write_attr(handle s) {
        ARBOLITE_TRY(t, utf8_view(s));
        const bool dq = t.find('"') != std::string_view::npos, sq = t.find('\'') != std::string_view::npos;
        const char quote = dq && !sq ? '\'' : '"';
        out_ += quote;
        escaped(t, [quote](char c) -> const char* {
            switch (c) {
                case '&': return "&amp;";
                case '<': return "&lt;";
                case '>': return "&gt;";
                case '\n': return "&#10;";
                case '\r': return "&#13;";
                case '\t': return "&#9;";
                case '"': return quote == '"' ? "&quot;" : nullptr;
                default: return nullptr;
            }
        });
        out_ += quote;
        return ok();
    }

    void finish_pending() {
        if (pending_) out_ += '>';
        pending_ = false;
    }
    void white(std::size_t depth) {
        if (o_.indent.empty() || depth == 0) return;
        finish_pending();
        for (std::size_t i = 0; i < depth; ++i) out_ += o_.indent;
    }
    void newline() {
        finish_pending();
        out_ += '\n';
    }

    Status comments(handle value, std::size_t depth) {
        auto one = [&](handle c) -> Status {
            if (c.ptr() == Py_None) return ok();
            ARBOLITE_TRY(text, value_string(c));
            ARBOLITE_TRY(t, utf8_view(text));
            if (t.empty()) return ok();
            if (o_.pretty) white(depth);
            if (t.find("--") != std::string_view::npos) return value_error("Comment text cannot contain '--'");
            if (t.back() == '-') return value_error("Comment text cannot end with '-'");
            // Written as XMLGenerator's comment() writes it: an open start tag stays open.
            out_ += "<!--";
            ARBOLITE_CHECK(write_text(text));
            out_ += "-->";
            if (o_.pretty) newline();
            return ok();
        };
        if (!PyList_Check(value.ptr())) return one(value);
        object list = borrow(value.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            ARBOLITE_CHECK(one(borrow(PyList_GET_ITEM(list.ptr(), i))));
        }
        return ok();
    }

    // One key and its value (or values), with an explicit stack.
    Status emit(handle key, handle value) {
        ARBOLITE_CHECK(push(key, value, 0));
        while (!stack_.empty()) {
            ARBOLITE_CHECK(signals_());
            const std::size_t top = stack_.size() - 1;
            if (stack_[top].open) {
                Frame& f = stack_[top];
                if (f.next_child < f.children.size()) {
                    auto& [ck, cv] = f.children[f.next_child++];
                    object k = ck, v = cv;
                    ARBOLITE_CHECK(push(k, v, f.depth + 1));
                    if (on_a_cycle()) return value_error("Circular reference detected");
                    continue;
                }
                ARBOLITE_CHECK(close(f));
                continue;
            }
            ARBOLITE_TRY(more, start_next(stack_[top]));
            if (!more) stack_.pop_back();
        }
        return ok();
    }

    Status push(handle key, handle value, std::size_t depth) {
        if (PyUnicode_Check(key.ptr())) {
            ARBOLITE_TRY(is_comment, equal(key, o_.comment_key));
            if (is_comment) return comments(value, depth);
        }
        ARBOLITE_CHECK(check_name(key, "element"));
        Frame f;
        f.key = borrow(key.ptr());
        f.depth = depth;
        PyObject* v = value.ptr();
        const bool scalar = PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v) ||
                            PyDict_Check(v) || !PyObject_HasAttrString(v, "__iter__");
        if (scalar) {
            f.single = borrow(v);
        } else {
            f.iter = steal(PyObject_GetIter(v));
            if (!f.iter) return Error::fetch();
        }
        stack_.push_back(std::move(f));
        return ok();
    }

    // The next value of a frame's key: its start tag and what it holds.
    Result<bool> start_next(Frame& f) {
        object v;
        if (f.single) {
            v = std::move(f.single);
            f.single = object();
            f.iter = object();
            if (f.index > 0) return false;
        } else if (f.iter) {
            v = steal(PyIter_Next(f.iter.ptr()));
            if (!v) {
                if (PyErr_Occurred()) return Error::fetch();
                return false;
            }
        } else {
            return false;
        }
        if (o_.full_document && f.depth == 0 && f.index > 0) return value_error("document with multiple roots");
        ++f.index;
        if (v.ptr() == Py_None) {
            v = steal(check_created(PyDict_New()));
        } else if (!PyDict_Check(v.ptr()) && !PyUnicode_Check(v.ptr())) {
            ARBOLITE_TRY(s, value_string(v));
            v = std::move(s);
        }
        f.cdata = object();
        f.mapping = object();
        f.children.clear();
        f.next_child = 0;
        std::vector<std::pair<object, object>> attrs;
        if (PyUnicode_Check(v.ptr())) {
            f.cdata = std::move(v);
        } else {
            f.mapping = v;
            ARBOLITE_TRY(items, dict_items(v));
            for (auto& [ik, iv] : items) {
                ARBOLITE_TRY(is_cdata, equal(ik, o_.cdata_key));
                if (is_cdata) {
                    if (iv.ptr() == Py_None) {
                        f.cdata = object();
                    } else {
                        ARBOLITE_TRY(s, value_string(iv));
                        f.cdata = std::move(s);
                    }
                    continue;
                }
                if (PyUnicode_Check(ik.ptr()) && PyUnicode_Tailmatch(ik.ptr(), o_.attr_prefix.ptr(), 0, PY_SSIZE_T_MAX, -1) == 1) {
                    ARBOLITE_CHECK(attribute(ik, iv, attrs));
                    continue;
                }
                if (PyList_Check(iv.ptr()) && PyList_GET_SIZE(iv.ptr()) == 0) continue;
                f.children.emplace_back(std::move(ik), std::move(iv));
            }
        }
        if (o_.pretty) white(f.depth);
        finish_pending();
        out_ += '<';
        ARBOLITE_TRY(name, utf8_view(f.key));
        out_ += name;
        for (auto& [an, av] : attrs) {
            out_ += ' ';
            ARBOLITE_TRY(a, utf8_view(an));
            out_ += a;
            out_ += '=';
            ARBOLITE_CHECK(write_attr(av));
        }
        if (o_.short_empty) pending_ = true;
        else out_ += '>';
        if (o_.pretty && !f.children.empty()) newline();
        f.open = true;
        return true;
    }

    // An attribute into `attrs`, a later one of the same name replacing the
    // value in place, as a dict does.
    Status attribute(handle ik, handle iv, std::vector<std::pair<object, object>>& attrs) {
        auto put = [&](object name, object value) -> Status {
            for (auto& [n, v] : attrs) {
                ARBOLITE_TRY(same, equal(n, name));
                if (same) {
                    v = std::move(value);
                    return ok();
                }
            }
            attrs.emplace_back(std::move(name), std::move(value));
            return ok();
        };
        if (PyUnicode_CompareWithASCIIString(ik.ptr(), "@xmlns") == 0 && PyDict_Check(iv.ptr())) {
            ARBOLITE_TRY(decls, dict_items(iv));
            for (auto& [k, v] : decls) {
                ARBOLITE_CHECK(check_name(k, "attribute"));
                const Py_ssize_t klen = PyUnicode_GET_LENGTH(k.ptr());
                object name = klen ? steal(PyUnicode_FromFormat("xmlns:%U", k.ptr())) : new_str("xmlns");
                if (!name) return Error::fetch();
                object value;
                if (v.ptr() == Py_None) {
                    value = new_str("");
                } else {
                    ARBOLITE_TRY(s, value_string(v));
                    value = std::move(s);
                }
                ARBOLITE_CHECK(put(std::move(name), std::move(value)));
            }
            return ok();
        }
        object value;
        if (iv.ptr() == Py_None) {
            value = new_str("");
        } else {
            ARBOLITE_TRY(s, value_string(iv));
            value = std::move(s);
        }
        object name = steal(PyUnicode_Substring(ik.ptr(), PyUnicode_GET_LENGTH(o_.attr_prefix.ptr()), PY_SSIZE_T_MAX));
        if (!name) return Error::fetch();
        ARBOLITE_CHECK(check_name(name, "attribute"));
        return put(std::move(name), std::move(value));
    }

    Status close(Frame& f) {
        f.open = false;
        if (f.cdata && PyUnicode_GET_LENGTH(f.cdata.ptr()) != 0) {
            finish_pending();
            ARBOLITE_CHECK(write_text(f.cdata));
        }
        if (o_.pretty && !f.children.empty()) white(f.depth);
        if (pending_) {
            out_ += "/>";
            pending_ = false;
        } else {
            ARBOLITE_TRY(name, utf8_view(f.key));
            out_ += "</";
            out_ += name;
            out_ += '>';
        }
        if (o_.pretty && f.depth != 0) newline();
        f.children.clear();
        f.cdata = object();
        f.mapping = object();
        return ok();
    }

    const UnparseOptions& o_;
    std::string out_;
    bool pending_ = false;  // a start tag whose '>' waits: it may become "/>"
    std::vector<Frame> stack_;
    SignalCheck signals_;
};

constexpr Params kUnparseDictParams{nullptr,
                                    "unparse_dict",
                                    {"mapping", "attr_prefix", "cdata_key", "pretty", "indent", "full_document",
                                     "short_empty_elements"},
                                    7,
                                    1,
                                    6};

constexpr Params kParseDictParams{nullptr,
                                  "parse_dict",
                                  {"xml", "attr_prefix", "cdata_key", "force_list", "xml_attribs", "strip_whitespace",
                                   "force_cdata", "dict_constructor"},
                                  8,
                                  1,
                                  7};

}  // namespace

PyObject* parse_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        ModuleState& st = *state;
        ARBOLITE_TRY(slots, extract_arguments(kParseDictParams, args, nargs, kwnames));
        ParseOptions o;
        ARBOLITE_TRY(prefix, str_option(slots[1], "@", "attr_prefix"));
        o.attr_prefix = std::move(prefix);
        ARBOLITE_TRY(prefix_text, utf8_copy(o.attr_prefix));
        o.prefix = std::move(prefix_text);
        ARBOLITE_TRY(cdata_key, str_option(slots[2], "#text", "cdata_key"));
        o.cdata_key = std::move(cdata_key);
        ARBOLITE_TRY(force_list, name_rule(slots[3], "force_list"));
        o.force_list = force_list;
        ARBOLITE_TRY(xml_attribs, truth(slots[4], true, "xml_attribs"));
        o.xml_attribs = xml_attribs;
        ARBOLITE_TRY(strip, truth(slots[5], true, "strip_whitespace"));
        o.strip_whitespace = strip;
        ARBOLITE_TRY(force_cdata, name_rule(slots[6], "force_cdata"));
        o.force_cdata = force_cdata;
        PyObject* constructor = given(slots[7]) ? slots[7] : reinterpret_cast<PyObject*>(&PyDict_Type);
        if (!PyCallable_Check(constructor)) return argument_error("dict_constructor", type_error(constructor, "callable"));
        Mappings maps(constructor);
        DictBuilder builder(o, st.names, st.values, maps);
        const TreeUse use = [&](Node* root) { return builder.build(root); };
        return read_document_element(st, slots[0], !o.strip_whitespace, "xml", &use);
    });
}

PyObject* unparse_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        (void)state;
        ARBOLITE_TRY(slots, extract_arguments(kUnparseDictParams, args, nargs, kwnames));
        UnparseOptions o;
        ARBOLITE_TRY(prefix, str_option(slots[1], "@", "attr_prefix"));
        o.attr_prefix = std::move(prefix);
        ARBOLITE_TRY(cdata_key, str_option(slots[2], "#text", "cdata_key"));
        o.cdata_key = std::move(cdata_key);
        o.comment_key = new_str("#comment");
        ARBOLITE_TRY(pretty, truth(slots[3], false, "pretty"));
        o.pretty = pretty;
        if (PyObject* indent = slots[4]) {
            if (PyLong_Check(indent)) {
                ARBOLITE_TRY(width, long_in_range(borrow(indent), LONG_MIN, LONG_MAX));
                o.indent.assign(width > 0 ? static_cast<std::size_t>(width) : 0, ' ');
            } else if (PyUnicode_Check(indent)) {
                ARBOLITE_TRY(text, utf8_copy(borrow(indent)));
                o.indent = std::move(text);
            } else {
                return argument_error("indent", type_error(indent, "str"));
            }
        }
        ARBOLITE_TRY(full, truth(slots[5], true, "full_document"));
        o.full_document = full;
        ARBOLITE_TRY(short_empty, truth(slots[6], false, "short_empty_elements"));
        o.short_empty = short_empty;
        PyObject* mapping = slots[0];
        if (!PyDict_Check(mapping) && !PyObject_HasAttrString(mapping, "items")) {
            return argument_error("mapping", type_error(mapping, "dict"));
        }
        Unparser unparser(o);
        return unparser.run(borrow(mapping));
    });
}

}  // namespace arbolite
