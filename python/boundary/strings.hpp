// Every str the module makes from its own data, and the one cache of names.
#pragma once
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "python/boundary/object.hpp"

namespace arbolite {

// A new str from UTF-8 text; failure to create it is fatal (MemoryError
// stays MemoryError).
object new_str(std::string_view text);

// The same for a string stored in a node, which may be read past its end
// (kReadSlack bytes): a short one is checked for ASCII with one vector load
// and copied, without the interpreter's UTF-8 decoder.
object stored_str(std::string_view text);

// Element names and attribute keys repeat all through a document, and every
// walk over a tree (the properties, to_dict) reads them once per node. This
// table keeps the last str made for each slot, so a repeated name costs a
// hash of at most 32 bytes and a compare, and its str's own hash is computed
// once. A miss replaces the slot: names that collide or never repeat cost
// what they cost without the table, plus one compare. Sharing strs cannot be
// seen: they are immutable. The table belongs to one module object, so to
// one interpreter, whose lock guards it. It also holds the dict form's keys.
// The dict forms keep a second table for short attribute values and texts,
// which repeat in most documents (types, flags, codes, units) and whose strs
// are most of what those forms allocate.
class NameCache {
public:
    enum Key { kName, kAttrs, kChildren, kText, kKeyCount };

    // Of a string stored in a node (readable past its end).
    object get(std::string_view text);
    // One of the dict form's keys, interned; null before fill() or after clear().
    PyObject* key(Key k) const noexcept { return keys_[k]; }

    bool fill() noexcept;    // makes the keys; false with an exception set
    void clear() noexcept;   // drops every str held

private:
    static constexpr std::size_t kSlots = 512;
    static constexpr std::size_t kMaxLen = 32;
    struct Slot {
        PyObject* str;  // owned
        std::size_t len;
        alignas(16) unsigned char bytes[kMaxLen];  // the name, zero-padded
    };
    // All zero is the empty table: module state starts zeroed.
    Slot slots_[kSlots];
    PyObject* keys_[kKeyCount];
};

}  // namespace arbolite
