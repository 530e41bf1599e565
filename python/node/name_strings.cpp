#include "python/node/name_strings.hpp"

#include <cstdint>
#include <cstring>

#include "core/tree/node.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

// A document has a few dozen distinct element names and attribute keys, and
// every walk over a tree reads them once per node. Making a fresh str each
// time costs an allocation, a copy, a free later and, for a dict key, a hash
// of its characters; this table keeps the last str made for each slot, so a
// repeated name costs a hash of at most 32 bytes and a compare, and the str's
// own hash is computed once. A miss replaces the slot: names that collide or
// are not repeated cost what they cost without the table, never more than
// one extra compare. Sharing strs cannot be seen: they are immutable.
//
// The interpreter lock guards the table. A str belongs to one interpreter, so
// the table serves the first that uses it and every other one bypasses it.
constexpr std::size_t kSlots = 512;
constexpr std::size_t kMaxLen = 32;
static_assert(kReadSlack >= kMaxLen, "a name is read as a whole block of kMaxLen bytes");

struct Slot {
    PyObject* str = nullptr;  // owned
    std::size_t len = 0;
    alignas(16) unsigned char bytes[kMaxLen] = {};  // the name, zero-padded
};

Slot g_slots[kSlots];
PyInterpreterState* g_owner = nullptr;

}  // namespace

object name_string(std::string_view text) {
    const std::size_t n = text.size();
    // Empty and one-character strs are the interpreter's shared ones anyway.
    if (n < 2 || n > kMaxLen) return node_string(text);
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (g_owner != interp) {
        if (g_owner) return node_string(text);
        g_owner = interp;
    }
    alignas(16) unsigned char key[kMaxLen];
    std::memcpy(key, text.data(), kMaxLen);  // within the node string's slack
    std::memset(key + n, 0, kMaxLen - n);
    std::uint64_t w[4];
    std::memcpy(w, key, sizeof w);
    std::uint64_t h = (w[0] * 0x9E3779B97F4A7C15ULL) ^ (w[1] * 0xC2B2AE3D27D4EB4FULL) ^
                      (w[2] * 0x165667B19E3779F9ULL) ^ (w[3] * 0x27D4EB2F165667C5ULL) ^ n;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    Slot& slot = g_slots[(h >> 32) & (kSlots - 1)];
    if (slot.str && slot.len == n && std::memcmp(slot.bytes, key, kMaxLen) == 0) return borrow(slot.str);
    object made = node_string(text);
    PyObject* old = slot.str;
    slot.str = borrow(made.ptr()).release();
    slot.len = n;
    std::memcpy(slot.bytes, key, kMaxLen);
    Py_XDECREF(old);  // a str's release runs no Python code
    return made;
}

void clear_name_strings() noexcept {
    if (!g_owner || g_owner != PyInterpreterState_Get()) return;
    for (Slot& slot : g_slots) Py_CLEAR(slot.str);
    g_owner = nullptr;
}

}  // namespace arbolite
