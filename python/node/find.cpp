// Node.find, findall, findtext and iterfind: ElementTree's path queries,
// compiled and run by core/path. Nodes never change, so the walk takes no
// reference per place; a match costs one, when the result is built.
#include <optional>
#include <string>
#include <vector>

#include "core/path/prefixes.hpp"
#include "core/path/program.hpp"
#include "core/path/run.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/node/methods.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kFindParams{"Node", "find", {"path", "namespaces"}, 2, 1};
constexpr Params kFindAllParams{"Node", "findall", {"path", "namespaces"}, 2, 1};
constexpr Params kFindTextParams{"Node", "findtext", {"path", "default", "namespaces"}, 3, 1};
constexpr Params kIterFindParams{"Node", "iterfind", {"path", "namespaces"}, 2, 1};

// Characters before byte `offset` of UTF-8 text.
Py_ssize_t characters(std::string_view text, std::size_t offset) {
    Py_ssize_t n = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    return n;
}

// ElementTree's SyntaxError, with the path as its text and the offending
// span as its offsets (from 1, in characters), so a traceback points there.
Error path_error(const CoreError& e, std::string_view path) {
    if (e.code != CoreError::Code::PathSyntax) return Error::core(e);
    const Py_ssize_t begin = characters(path, e.offset) + 1;
    const Py_ssize_t end = std::max(characters(path, e.end) + 1, begin + 1);
    object text = new_str(path);
    object exc = steal(PyObject_CallFunction(PyExc_SyntaxError, "s(snnOnn)", e.detail.c_str(), "<path>", Py_ssize_t{1},
                                             begin, text.ptr(), Py_ssize_t{1}, end));
    if (!exc) return Error::fetch();
    return Error::from_exception(std::move(exc));
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    out += s;
    out += '\'';
    return out;
}

Error prefix_error(const PrefixDisagreement& d) {
    const std::string who = d.prefix.empty() ? std::string("the default namespace ('')") : quoted(d.prefix);
    std::string m = "names are matched as written, prefixes included, so namespaces is accepted only where it agrees "
                    "with the tree's own declarations: it maps " + who + " to " + quoted(d.mapped) + ", ";
    if (d.declared) {
        m += "but the tree searched binds it to " + quoted(*d.declared);
    } else if (d.only_below) {
        m += "which the tree searched declares only below the node searched from, outside of which names without "
             "a prefix are in no namespace";
    } else {
        m += "which the tree searched does not declare";
    }
    m += "; leave namespaces out and write the names as the document does";
    return Error::deferred(PyExc_ValueError, std::move(m));
}

Result<PrefixMap> convert_namespaces(PyObject* obj) {
    PrefixMap map;
    if (!obj) return map;
    if (!PyDict_Check(obj)) return type_error(obj, "dict");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        // The strs stay in the caller's dict, which holds them for the call.
        ARBOLITE_TRY(prefix, utf8_view(key));
        ARBOLITE_TRY(uri, utf8_view(value));
        map.emplace_back(prefix, uri);
    }
    return map;
}

// The matches of the call's path, at most `want` of them.
Result<std::vector<Node*>> matches(PyObject* self, PyObject* path_obj, PyObject* namespaces_obj, std::size_t want) {
    ARBOLITE_TRY(node, node_receiver(self));
    auto path = utf8_view(path_obj);
    if (!path) return argument_error("path", std::move(path).error());
    auto map = convert_namespaces(given(namespaces_obj));
    if (!map) return argument_error("namespaces", std::move(map).error());
    std::optional<Error> interrupted;
    auto poll = [&]() {
        Status s = SignalCheck::poll();
        if (s) return true;
        interrupted.emplace(std::move(s).error());
        return false;
    };
    std::vector<Node*> found;
    PathTally tally;
    if (map->empty()) {
        // A lone child name needs no program: nothing is compiled or allocated for it.
        if (const std::optional<NameTest> name = plain_child_name(*path)) {
            if (run_children(*name, node, want, found, tally, poll) == PathRun::Stopped) return std::move(*interrupted);
            return found;
        }
    }
    auto compiled = compile_path(*path);
    if (auto* e = std::get_if<CoreError>(&compiled)) return path_error(*e, *path);
    const PathProgram& program = std::get<PathProgram>(compiled);
    if (!map->empty()) {
        if (auto d = check_prefix_map(node, program, *map)) return prefix_error(*d);
    }
    auto most = [] { return std::min<std::uint64_t>(PY_SSIZE_T_MAX, memory_limit()) / sizeof(PyObject*); };
    switch (run_path(program, node, want, most, found, tally, poll)) {
        case PathRun::Done: return found;
        case PathRun::Stopped: return std::move(*interrupted);
        case PathRun::TooMany:
            return result_too_large("the list of matches", saturating_mul(tally.matches, sizeof(PyObject*)));
    }
    return found;
}

// The caller's reference keeps the tree, and so every match, alive.
object match_list(const std::vector<Node*>& found) {
    object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(found.size()))));
    for (std::size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), borrow(as_object(found[i])).release());
    }
    return list;
}

}  // namespace

PyObject* node_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kFindParams, args, nargs, kwnames));
        ARBOLITE_TRY(found, matches(self, slots[0], slots[1], 1));
        if (found.empty()) return borrow(Py_None);
        return borrow(as_object(found[0]));
    });
}

PyObject* node_findall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kFindAllParams, args, nargs, kwnames));
        ARBOLITE_TRY(found, matches(self, slots[0], slots[1], SIZE_MAX));
        return match_list(found);
    });
}

PyObject* node_findtext(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kFindTextParams, args, nargs, kwnames));
        ARBOLITE_TRY(found, matches(self, slots[0], slots[2], 1));
        if (found.empty()) return borrow(slots[1] ? slots[1] : Py_None);
        const auto text = node_text(found[0]);
        return stored_str(text ? *text : std::string_view{});
    });
}

PyObject* node_iterfind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kIterFindParams, args, nargs, kwnames));
        ARBOLITE_TRY(found, matches(self, slots[0], slots[1], SIZE_MAX));
        object list = match_list(found);
        object it = steal(PyObject_GetIter(list.ptr()));
        if (!it) return Error::fetch();
        return it;
    });
}

}  // namespace arbolite
