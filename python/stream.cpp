// iter_file and iter_string: the elements of a document with a given name,
// one by one, each as soon as its end tag has been read, in memory bounded by
// the read buffer, the element being built and the names of the open
// elements. The lock is released while the window is scanned and an element
// built (and while a path is read); it is held to call a file object, to
// decode a document that is not UTF-8, and to hand a node over.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>

#include "core/read/file_source.hpp"
#include "core/read/parser.hpp"
#include "core/read/stream_window.hpp"
#include "core/text/encoding.hpp"
#include "core/text/utf8.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/lock.hpp"
#include "python/document.hpp"
#include "python/functions.hpp"
#include "python/module_state.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kIterFileParams{nullptr, "iter_file", {"source", "tag"}, 2, 2};
constexpr Params kIterStringParams{nullptr, "iter_string", {"xml", "tag"}, 2, 2};

// Bytes asked of a source at a time, and code units of a str converted at a time.
constexpr std::size_t kChunk = std::size_t{1} << 20;
// The first buffer handed to readinto(): a source that returns a few bytes a
// call (a socket, a pipe) should not cost a megabyte's allocation each time.
// It doubles up to kChunk while the source fills it.
constexpr std::size_t kFirstReadInto = std::size_t{1} << 16;
// How much of the start is enough to know the encoding: the byte-order mark
// and the XML declaration come first.
constexpr std::size_t kSniff = 1024;

// Where the bytes come from.
enum class Kind : unsigned char {
    Path,    // a file the iterator opened, read with the lock released
    File,    // a binary file object, called with the lock
    Text,    // a str, converted to UTF-8 a chunk at a time
    Buffer,  // a bytes-like object, in memory whole
};

struct State {
    // The module's classes, held: a stream may outlive the module object.
    object node_class;
    object parse_error;
    PyTypeObject* node_type() const noexcept { return reinterpret_cast<PyTypeObject*>(node_class.ptr()); }
    std::unique_ptr<StreamParser> parser;
    StreamWindow window;
    Kind kind = Kind::Path;
    int fd = -1;         // Path: owned, closed when the iterator is done
    object file;         // File
    std::size_t readinto_size = kFirstReadInto;  // File without read()
    object document;     // Text and Buffer: the object read
    DocumentBytes bytes;  // Buffer: its bytes, held (or copied)
    std::size_t offset = 0;  // Text: code units consumed; Buffer: bytes consumed
    bool sniffed = false;    // the encoding is known
    ByteBuffer prefix;       // the first bytes, kept until it is
    ByteBuffer scratch;      // bytes read from a file, before they are decoded
    object decoder;          // an incremental decoder when the document is not UTF-8
    bool eof = false;        // the source is exhausted
    // The first byte that is not UTF-8: raised when the parser reaches it.
    std::optional<std::uint64_t> bad_utf8;
    bool finished = false;   // everything was yielded, or an error raised
    bool busy = false;       // a next() is running (on some thread)
    // Nodes found in one stretch without the lock and not yet handed over,
    // each with its node count; then what the parser said after them.
    std::vector<std::pair<Node*, std::uint64_t>> ready;
    std::size_t next_ready = 0;
    std::optional<StreamStep> after;

    // With the lock: nodes never handed over are adopted and released.
    ~State() {
        for (std::size_t i = next_ready; i < ready.size(); ++i) {
            adopt_nodes(node_type(), ready[i].second);
            Py_DECREF(as_object(ready[i].first));
        }
        close_source();
    }
    void close_source() noexcept {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct StreamObject {
    PyObject_HEAD
    State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<StreamObject*>(self)->state; }

// ---------------------------------------------------------------- reading

// A chunk from a file object: read(n), or readinto() of a bytearray of ours
// for objects that have only that.
Result<object> read_from_file(State& s) {
    object chunk;
    object read = steal(PyObject_GetAttrString(s.file.ptr(), "read"));
    if (read) {
        chunk = steal(PyObject_CallFunction(read.ptr(), "n", static_cast<Py_ssize_t>(kChunk)));
        if (!chunk) return Error::fetch();
    } else {
        PyErr_Clear();
        const auto size = static_cast<Py_ssize_t>(s.readinto_size);
        object buffer = steal(PyByteArray_FromStringAndSize(nullptr, size));
        if (!buffer) return Error::fetch();
        object count = steal(PyObject_CallMethod(s.file.ptr(), "readinto", "O", buffer.ptr()));
        if (!count) return Error::fetch();
        const Py_ssize_t n = count.is_none() ? 0 : PyLong_AsSsize_t(count.ptr());
        if (n == -1 && PyErr_Occurred()) return Error::fetch();
        // The source may have resized the bytearray it was given.
        if (n < 0 || n > size || n > PyByteArray_GET_SIZE(buffer.ptr())) {
            return Error::deferred(PyExc_ValueError, "the file object's readinto() returned " + std::to_string(n));
        }
        if (n == size) s.readinto_size = std::min(kChunk, s.readinto_size * 2);
        if (PyByteArray_Resize(buffer.ptr(), n) < 0) return Error::fetch();
        chunk = buffer;
    }
    if (PyUnicode_Check(chunk.ptr())) {
        return Error::deferred(PyExc_TypeError,
                               "the file object's read() returned str, not bytes: open the file in binary mode");
    }
    if (!PyObject_CheckBuffer(chunk.ptr())) {
        return Error::deferred(PyExc_TypeError, "the file object's read() returned '" +
                                                    type_qualname(Py_TYPE(chunk.ptr())) + "', not bytes");
    }
    return chunk;
}

// Up to `n` bytes of the file the iterator opened, read without the lock.
Result<std::size_t> read_path(State& s, char* into, std::size_t n) {
    ssize_t got;
    int code = 0;
    without_lock([&] {
        do {
            got = ::read(s.fd, into, n);
        } while (got < 0 && errno == EINTR);
        if (got < 0) code = errno;
    });
    if (got < 0) return Error::os(code);
    return static_cast<std::size_t>(got);
}

// The error the source gives for bytes that are not UTF-8.
Error invalid_utf8(State& s, std::uint64_t at) {
    if (s.kind == Kind::Buffer && !s.decoder) return utf8_decode_error(s.bytes.view(), static_cast<std::size_t>(at));
    return Error::core(invalid_utf8_error());
}

// Appends UTF-8 text to the window and shows the parser what is checked.
Status take(State& s, std::string_view utf8) {
    s.window.append(*s.parser, utf8);
    s.bad_utf8 = s.window.show(*s.parser, s.eof);
    return ok();
}

// A str's text, converted to UTF-8 a chunk at a time without the lock.
Status feed_text(State& s) {
    PyObject* str = s.document.ptr();
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const int unit = static_cast<int>(PyUnicode_KIND(str));
    const char* data = static_cast<const char*>(PyUnicode_DATA(str));
    const std::size_t n = std::min(kChunk, length - s.offset);
    ByteBuffer converted;
    bool ok_units = true;
    without_lock([&] {
        if (PyUnicode_IS_ASCII(str)) {
            converted.append(data + s.offset, n);
        } else {
            ok_units = utf8_from_units(data + s.offset * static_cast<std::size_t>(unit), n, unit, converted);
        }
    });
    // A lone surrogate has no UTF-8 form: the interpreter's encoder gives the error.
    if (!ok_units) return std::move(utf8_view(s.document)).error();
    s.offset += n;
    s.eof = s.offset == length;
    s.window.append(*s.parser, converted.view());
    s.window.show(*s.parser, s.eof);  // converted text is UTF-8
    return ok();
}

// Bytes in the document's encoding, into the window as UTF-8.
Status take_bytes(State& s, std::string_view bytes) {
    if (!s.decoder) return take(s, bytes);
    object chunk = steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!chunk) return Error::fetch();
    object text = steal(PyObject_CallMethod(s.decoder.ptr(), "decode", "OO", chunk.ptr(), s.eof ? Py_True : Py_False));
    if (!text) return Error::fetch();
    if (!PyUnicode_Check(text.ptr())) return type_error(text, "str");
    ByteBuffer converted;
    ARBOLITE_TRY(utf8, document_text(text, converted));
    return take(s, utf8);
}

// Whether the first bytes decide the encoding: a mark, or a start that no
// declaration can follow, or a declaration seen to its end. Reading on
// before that would hold back the first nodes of a slow source.
bool encoding_known(std::string_view prefix, bool eof) {
    if (eof || prefix.size() >= kSniff) return true;
    if (prefix.size() < 4) return false;  // the marks of UTF-32 and the patterns of UTF-16 take four
    using Source = DetectedEncoding::Source;
    const Source source = detect_encoding(prefix).source;
    if (source == Source::ByteOrderMark || source == Source::Utf16Pattern) return true;
    constexpr std::string_view kOpen = "<?xml";
    if (prefix.substr(0, kOpen.size()) != kOpen.substr(0, std::min(prefix.size(), kOpen.size()))) return true;
    return prefix.find("?>") != std::string_view::npos;
}

// Once the first bytes are known: the decoder their encoding needs, if any.
Status sniff(State& s) {
    ARBOLITE_TRY(codec, codec_for(detect_encoding(s.prefix.view())));
    if (!codec.empty()) {
        object codecs = steal(PyImport_ImportModule("codecs"));
        if (!codecs) return Error::fetch();
        object factory = steal(PyObject_CallMethod(codecs.ptr(), "getincrementaldecoder", "s", codec.c_str()));
        if (!factory) return Error::fetch();
        s.decoder = steal(PyObject_CallFunction(factory.ptr(), "s", "strict"));
        if (!s.decoder) return Error::fetch();
    }
    s.sniffed = true;
    ByteBuffer first = std::move(s.prefix);
    s.prefix = ByteBuffer();
    return take_bytes(s, first.view());
}

// More of the document into the window.
Status feed(State& s) {
    if (s.eof) fatal("invariant: the stream asked for input after its end");
    if (s.kind == Kind::Text) return feed_text(s);
    if (s.kind == Kind::Path && s.sniffed && !s.decoder) {
        // UTF-8 from a file: read straight into the window.
        char* at = s.window.room(*s.parser, kChunk);
        ARBOLITE_TRY(got, read_path(s, at, kChunk));
        s.window.grew(got);
        s.eof = got == 0;
        s.bad_utf8 = s.window.show(*s.parser, s.eof);
        return ok();
    }
    std::string_view bytes;
    DocumentBytes chunk;
    switch (s.kind) {
        case Kind::Path: {
            s.scratch.resize(kChunk);
            ARBOLITE_TRY(got, read_path(s, s.scratch.data(), kChunk));
            bytes = std::string_view(s.scratch.data(), got);
            break;
        }
        case Kind::File: {
            ARBOLITE_TRY(piece, read_from_file(s));
            ARBOLITE_CHECK(chunk.hold(piece));
            bytes = chunk.view();
            break;
        }
        case Kind::Buffer: {
            const std::string_view all = s.bytes.view();
            bytes = all.substr(s.offset, std::min(kChunk, all.size() - s.offset));
            s.offset += bytes.size();
            break;
        }
        case Kind::Text: break;
    }
    if (bytes.empty()) s.eof = true;
    if (s.sniffed) return take_bytes(s, bytes);
    s.prefix.append(bytes);
    if (encoding_known(s.prefix.view(), s.eof)) return sniff(s);
    return ok();
}

// ---------------------------------------------------------------- the iterator

// next() is not re-entrant: a second thread (or the source's own code) that
// calls it while it runs gets an error instead of a corrupted stream.
struct Busy {
    State& s;
    explicit Busy(State& state) : s(state) { s.busy = true; }
    ~Busy() { s.busy = false; }
};

constexpr const char* kBusy =
    "this arbolite iterator is already being advanced (by another thread, or from its own source)";

// Records that take a moment each are found several at a time, so that the
// lock changes hands once per stretch instead of once per record: taking it
// back can wait a whole switch interval while another thread runs Python.
constexpr std::size_t kStretchRecords = 1024;
constexpr auto kStretchTime = std::chrono::milliseconds(2);

// Without the lock: steps the parser until a stretch of records is found or
// it says anything else, which waits in `after` when records came first.
StreamStep run_stretch(State& s) {
    s.ready.reserve(kStretchRecords);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const StreamStep step = s.parser->step();
        if (step != StreamStep::Node) {
            if (s.ready.empty()) return step;
            s.after = step;
            return StreamStep::Node;
        }
        std::uint64_t count = 0;
        Node* node = s.parser->take_node(count);
        s.ready.emplace_back(node, count);
        if (s.ready.size() == kStretchRecords || std::chrono::steady_clock::now() - start > kStretchTime) {
            return StreamStep::Node;
        }
    }
}

// The next node, or an empty object at the end.
Result<object> advance(State& s) {
    if (s.busy) return Error::deferred(PyExc_RuntimeError, kBusy);
    if (s.finished) return object();
    Busy busy(s);
    // Whatever goes wrong ends the stream: its state is not resumable.
    struct Finish {
        State& s;
        bool done = true;
        ~Finish() {
            if (done) {
                s.finished = true;
                s.close_source();
            }
        }
    } finish{s};
    for (;;) {
        if (s.next_ready < s.ready.size()) {
            const auto [node, count] = s.ready[s.next_ready++];
            adopt_nodes(s.node_type(), count);
            finish.done = false;
            return steal(as_object(node));
        }
        s.ready.clear();
        s.next_ready = 0;
        StreamStep step;
        if (s.after) {
            step = *s.after;
            s.after.reset();
        } else {
            step = without_lock([&] { return run_stretch(s); });
        }
        switch (step) {
            case StreamStep::Node: continue;
            case StreamStep::Error: {
                const CoreError e = s.parser->take_error();
                return parse_error(s.parse_error.ptr(), e, s.window.position(e.has_offset() ? e.offset : s.window.end()));
            }
            case StreamStep::End: return object();
            case StreamStep::NeedInput: break;
        }
        if (s.bad_utf8) return invalid_utf8(s, *s.bad_utf8);
        // Between chunks the lock is held anyway: Ctrl-C ends a stream whose
        // source never ends (or never gives a whole record).
        if (PyErr_CheckSignals() < 0) return Error::fetch();
        ARBOLITE_CHECK(feed(s));
    }
}

PyObject* stream_next(PyObject* self) {
    PyObject* out = nullptr;
    bool ended = false;
    // The end is no exception: guarded() would make one of an empty result.
    PyObject* got = guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, advance(state_of(self)));
        if (!node) {
            ended = true;
            return borrow(Py_None);
        }
        return node;
    });
    if (ended) {
        Py_XDECREF(got);
        return nullptr;
    }
    out = got;
    return out;
}

PyObject* stream_close(PyObject* self, PyObject*) {
    State& s = state_of(self);
    if (s.busy) {
        PyErr_SetString(PyExc_RuntimeError, kBusy);
        return nullptr;
    }
    s.finished = true;
    s.close_source();
    Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* stream_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return stream_close(self, nullptr); }

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<StreamObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

// A file object may refer back to its iterator (a wrapper that keeps it, a
// generator's frame): the collector sees the references a stream holds.
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    State* s = reinterpret_cast<StreamObject*>(self)->state;
    if (s) {
        Py_VISIT(s->file.ptr());
        Py_VISIT(s->decoder.ptr());
        Py_VISIT(s->node_class.ptr());
        Py_VISIT(s->parse_error.ptr());
    }
    return 0;
}

int stream_clear(PyObject* self) {
    State* s = reinterpret_cast<StreamObject*>(self)->state;
    if (s) {
        s->finished = true;
        s->close_source();
        s->file = object();
        s->decoder = object();
    }
    return 0;
}

#define ARBOLITE_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kStreamMethods[] = {
    {"close", ARBOLITE_METHOD(stream_close), METH_NOARGS,
     "close($self)\n--\n\nStops the stream and closes the file it opened (a file object passed in stays open)."},
    {"__enter__", ARBOLITE_METHOD(stream_enter), METH_NOARGS, "__enter__($self)\n--\n\nReturns the iterator itself."},
    {"__exit__", ARBOLITE_METHOD(stream_exit), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the iterator, as close() does."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_doc, const_cast<char*>("The iterator iter_file() and iter_string() return: next() gives the next\n"
                                  "element, close() (or the end of a with block) stops it and closes\n"
                                  "a file it opened.")},
    {0, nullptr},
};

PyType_Spec kStreamSpec{"arbolite.NodeStream", static_cast<int>(sizeof(StreamObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                        kStreamSlots};

}  // namespace

PyTypeObject* create_stream_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kStreamSpec, nullptr));
}

namespace {

Result<object> new_stream(const ModuleState& st, std::unique_ptr<State> state) {
    PyTypeObject* type = st.stream_type;
    object self = steal(type->tp_alloc(type, 0));
    if (!self) return Error::fetch();
    reinterpret_cast<StreamObject*>(self.ptr())->state = state.release();
    return self;
}

Result<std::string> tag_argument(handle obj) {
    auto tag = utf8_copy(obj);
    if (!tag) return argument_error("tag", std::move(tag).error());
    return tag;
}

std::unique_ptr<State> new_state(const ModuleState& st, const std::string& tag) {
    auto state = std::make_unique<State>();
    state->node_class = borrow(reinterpret_cast<PyObject*>(st.node_type));
    state->parse_error = borrow(st.parse_error);
    state->parser = make_stream(cpu::active_kernel(), ReadOptions{.root_tag = tag, .node_type = st.node_type});
    return state;
}

bool is_file_object(handle obj) {
    return PyObject_HasAttrString(obj.ptr(), "read") || PyObject_HasAttrString(obj.ptr(), "readinto");
}

}  // namespace

PyObject* iter_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state_ptr, live_state(module));
        const ModuleState& st = *state_ptr;
        ARBOLITE_TRY(slots, extract_arguments(kIterFileParams, args, nargs, kwnames));
        handle source = slots[0];
        const bool file_object = !PyUnicode_Check(source.ptr()) && !PyBytes_Check(source.ptr()) &&
                                 !PyObject_HasAttrString(source.ptr(), "__fspath__") && is_file_object(source);
        std::string path;
        if (!file_object) {
            auto p = path_bytes(source);
            if (!p) {
                std::string message = "'";
                message += type_qualname(Py_TYPE(source.ptr()));
                message += "' object is neither a path nor a binary file object";
                return argument_error("source", Error::deferred(PyExc_TypeError, std::move(message)));
            }
            path = std::move(*p);
        }
        ARBOLITE_TRY(tag, tag_argument(slots[1]));
        auto state = new_state(st, tag);
        if (file_object) {
            state->kind = Kind::File;
            state->file = borrow(source.ptr());
        } else {
            if (path.find('\0') != std::string::npos) return Error::os(0, "file name contained an unexpected NUL byte");
            int fd, code = 0;
            without_lock([&] {
                do {
                    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                } while (fd < 0 && errno == EINTR);
                if (fd < 0) code = errno;
            });
            if (fd < 0) return Error::os(code);
            state->kind = Kind::Path;
            state->fd = fd;
        }
        return new_stream(st, std::move(state));
    });
}

PyObject* iter_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state_ptr, live_state(module));
        const ModuleState& st = *state_ptr;
        ARBOLITE_TRY(slots, extract_arguments(kIterStringParams, args, nargs, kwnames));
        handle xml = slots[0];
        const bool text = PyUnicode_Check(xml.ptr());
        if (!text && !PyObject_CheckBuffer(xml.ptr())) return argument_error("xml", type_error(xml, "str"));
        ARBOLITE_TRY(tag, tag_argument(slots[1]));
        auto state = new_state(st, tag);
        state->document = borrow(xml.ptr());
        if (text) {
            state->kind = Kind::Text;
            state->sniffed = true;  // a str is text already: its declaration is not read
        } else {
            state->kind = Kind::Buffer;
            if (auto held = state->bytes.hold(xml); !held) return argument_error("xml", std::move(held).error());
        }
        return new_stream(st, std::move(state));
    });
}

namespace {

#define ARBOLITE_FUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"iter_file", ARBOLITE_FUNCTION(iter_file), kFlags,
     "iter_file(source, tag)\n--\n\n"
     "Iterate over the elements named tag of the document read from source,\n"
     "each a complete Node, yielded as soon as its end tag has been read; an\n"
     "element named tag inside a yielded one stays in its subtree.\n\n"
     "source is a path (str, bytes or os.PathLike), opened and closed by the\n"
     "iterator, or a binary file object (readinto() or read()), never closed.\n"
     "Memory stays bounded by the read buffer and the element being built.\n"
     "The whole document is checked as read_file checks it: errors are raised\n"
     "from next() where the scan meets them, after the nodes before them."},
    {"iter_string", ARBOLITE_FUNCTION(iter_string), kFlags,
     "iter_string(xml, tag)\n--\n\n"
     "Iterate over the elements named tag of the document xml (a str or a\n"
     "bytes-like object), as iter_file does."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* stream_functions() { return kFunctions; }

}  // namespace arbolite
