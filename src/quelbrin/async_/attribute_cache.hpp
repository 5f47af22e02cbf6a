// A per-call-site cache for reading one instance attribute: the index of
// the attribute in the instance's inline values, remembered per type
// version tag (a Slot), for one type or for a few at once (a SlotSet).
//
// Why: the locked call reads `self.__lock__` and the lock's `acquire` and
// `release` on every call, and all three are instance attributes; argument
// building and construction read a Pcall's inputs and a ChildLabor's
// target and arguments once per instance, as their Python code does.  Through
// the C API each read is a generic attribute lookup (type cache, then a
// hashed lookup in the instance's values), several times what the
// interpreter's own specialised attribute loads pay: they read the value
// straight out of the inline values at an index cached for the type's
// version tag.  This header does the same.  It is the only code of the
// extensions that knows private object layouts, and it knows them for:
//
//   CPython 3.12  values behind a tagged pointer three words before the
//                 object (the low bit set while they are in use);
//   CPython 3.13  values embedded after the object header, with a `valid`
//                 flag, and the managed dict pointer three words before it
//                 (default, GIL-enabled build only).
//
// On any other interpreter, or if the check at module load finds a cached
// read that differs from the ordinary one, nothing is ever cached and every
// read is the ordinary one.
//
// What is cached is decided on the ordinary lookup's own facts, and each use
// is validated, so behaviour is the interpreter's in every case:
//  - only for types whose attribute access is the generic one and that have
//    no class attribute of that name anywhere in their MRO (so no property,
//    no descriptor, no __getattr__ and no __getattribute__ is in the way);
//    any change to the type or a base gives it a new version tag, which
//    misses;
//  - only while the instance has no materialised __dict__ and its values
//    are in use; otherwise, and when the slot is empty, the read misses;
//  - the index is taken only if the value found there is the very object
//    the ordinary lookup just returned.
#pragma once

#include "pyref.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace quelbrin::inline_values {

inline constexpr bool kLayoutKnown = version::kInlineValuesLayout != 0;

// Whether cached reads may be used in this process: false until the check
// at module load has passed, and for good if it fails.  Written once, while
// the module initialises.  What it records is a fact about the interpreter,
// so extensions that share it through the dynamic linker agree on it.
inline bool enabled = false;

#if QUELBRIN_INLINE_VALUES_LAYOUT != 0

// The header of a type's shared keys (`ht_cached_keys`), both versions;
// the index table follows, then the entries.
struct SharedKeysHeader {
    Py_ssize_t refcount;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 2: split table, the only kind shared keys have
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t entries;
};

struct SharedKeyEntry {
    PyObject* key;
    PyObject* value;  // unused in shared keys
};

inline constexpr uint8_t kSplitKeys = 2;

// Three words before the object: 3.12's dict-or-values word, 3.13's
// managed dict pointer.
inline char* PreHeaderWord(PyObject* obj) noexcept {
    char* word;
    std::memcpy(&word, reinterpret_cast<char*>(obj) - 3 * sizeof(PyObject*), sizeof word);
    return word;
}

#if QUELBRIN_INLINE_VALUES_LAYOUT == 313
struct EmbeddedValues {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
#endif

// Whether instances of `type` keep their attributes in inline values this
// header can read.
inline bool HasInlineValues(PyTypeObject* type) noexcept {
    const unsigned long flags = type->tp_flags;
    if (!(flags & Py_TPFLAGS_HEAPTYPE) || !(flags & Py_TPFLAGS_MANAGED_DICT)) {
        return false;
    }
#if QUELBRIN_INLINE_VALUES_LAYOUT == 313
    if (!(flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject)) {
        return false;
    }
#endif
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != nullptr;
}

// The position of `name` among the type's shared keys, or -1.
inline Py_ssize_t SharedKeyIndex(PyTypeObject* type, PyObject* name) noexcept {
    auto* keys = reinterpret_cast<SharedKeysHeader*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys->kind != kSplitKeys) {
        return -1;
    }
    auto* entries = reinterpret_cast<SharedKeyEntry*>(reinterpret_cast<char*>(keys + 1) +
                                                      (size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->entries; ++i) {
        PyObject* key = entries[i].key;
        if (key == name || (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
            return i;
        }
    }
    return -1;
}

// The value at `index` of the instance's inline values (borrowed), or NULL
// when the instance has a materialised __dict__, its values are not in use,
// or the slot is empty.  `obj`'s type passed HasInlineValues() and `index`
// came from SharedKeyIndex() on it.
inline PyObject* ValueAt(PyObject* obj, Py_ssize_t index) noexcept {
#if QUELBRIN_INLINE_VALUES_LAYOUT == 312
    char* tagged = PreHeaderWord(obj);
    if (!(reinterpret_cast<uintptr_t>(tagged) & 1)) {
        return nullptr;  // a dict, or nothing yet
    }
    return reinterpret_cast<PyObject**>(tagged + 1)[index];
#else
    if (PreHeaderWord(obj) != nullptr) {
        return nullptr;  // a materialised dict
    }
    auto* values = reinterpret_cast<EmbeddedValues*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
    if (!values->valid || index >= values->capacity) {
        return nullptr;
    }
    return values->values[index];
#endif
}

#else  // a layout this code does not know: nothing is ever cached

inline bool HasInlineValues(PyTypeObject*) noexcept { return false; }
inline Py_ssize_t SharedKeyIndex(PyTypeObject*, PyObject*) noexcept { return -1; }
inline PyObject* ValueAt(PyObject*, Py_ssize_t) noexcept { return nullptr; }

#endif  // QUELBRIN_INLINE_VALUES_LAYOUT

// One cached attribute read: `name` on objects of one type.  The slot holds
// either where the type keeps the attribute, or that the type is not one
// whose attribute it can hold (index -1), or nothing (tag 0).
struct Slot {
    unsigned int type_tag = 0;  // 0: nothing known (no type has tag 0)
    Py_ssize_t index = -1;

    // The cached value of the attribute (borrowed), or NULL on a miss.
    PyObject* read(PyObject* obj) const noexcept {
        if (type_tag != 0 && Py_TYPE(obj)->tp_version_tag == type_tag && index >= 0) {
            return ValueAt(obj, index);
        }
        return nullptr;
    }

    // Whether the slot knows nothing of `obj`'s type as it is now.  When it
    // does, a miss is the instance's doing (a materialised __dict__, an
    // empty slot) or the type's known nature, and examining it again would
    // find nothing new.
    bool stale_for(PyObject* obj) const noexcept {
        return enabled && (type_tag == 0 || Py_TYPE(obj)->tp_version_tag != type_tag);
    }

    // Where an ordinary read of `name` on `obj` would find a plain instance
    // attribute that the cache can hold (generic attribute access, no class
    // attribute of that name, the name among the type's shared keys), or
    // -1.  A type that does not qualify is remembered as such; a name not
    // yet among the keys is not (adding a key leaves the type's tag as it
    // is).  Runs no Python code.
    Py_ssize_t examine(PyObject* obj, PyObject* name) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (!enabled) {
            return -1;
        }
        // The lookup gives the type a version tag if it has none.
        if (type->tp_getattro != PyObject_GenericGetAttr || !HasInlineValues(type) || !PyUnicode_CheckExact(name) ||
            _PyType_Lookup(type, name) != nullptr) {
            type_tag = type->tp_version_tag;
            index = -1;
            return -1;
        }
        return SharedKeyIndex(type, name);
    }

    // The slot itself when it is to examine `obj`'s type, as SlotSet says.
    Slot* entry_to_learn(PyObject* obj) noexcept { return stale_for(obj) ? this : nullptr; }

    // Remembers `candidate_index` (from examine()) for `obj`'s type if
    // reading there gives `value`, the result of the ordinary lookup just
    // made; otherwise the slot knows nothing, and the next read examines
    // the type again.
    void learn(PyObject* obj, Py_ssize_t candidate_index, PyObject* value) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        // Knowing nothing, the slot holds no index either: an entry of a
        // SlotSet that matches a type whose tag is 0 then reads nothing.
        type_tag = 0;
        index = -1;
        // A modified type's tag is 0 until it gets a new one (3.13 no
        // longer sets the flag that 3.12 sets beside it).
        if (type->tp_version_tag != 0 && ValueAt(obj, candidate_index) == value) {
            index = candidate_index;
            type_tag = type->tp_version_tag;
        }
    }
};

// One cached attribute read for objects of up to `kWays` types at once: a
// method inherited by several classes, called on instances of each in turn,
// keeps what it knows of every one of them instead of learning one type
// afresh on each call.  Each entry is a Slot, with all its checks.
template <int kWays>
struct SlotSet {
    static_assert(kWays > 0);
    Slot entries[kWays];
    unsigned int next_evicted = 0;

    // The cached value of the attribute (borrowed), or NULL on a miss.  The
    // entry that knows the type answers; a type whose tag is 0 (modified,
    // not yet tagged again) finds an empty entry, which holds no index.
    PyObject* read(PyObject* obj) const noexcept {
        const unsigned int tag = Py_TYPE(obj)->tp_version_tag;
        for (const Slot& entry : entries) {
            if (entry.type_tag == tag) {
                return entry.index >= 0 ? ValueAt(obj, entry.index) : nullptr;
            }
        }
        return nullptr;
    }

    // The entry to examine `obj`'s type in when no entry knows it as it is
    // now, or NULL when one does (a miss is then the instance's doing).
    // An empty entry is taken first, then each in turn.
    Slot* entry_to_learn(PyObject* obj) noexcept {
        if (!enabled) {
            return nullptr;
        }
        const unsigned int tag = Py_TYPE(obj)->tp_version_tag;
        Slot* vacant = nullptr;
        for (Slot& entry : entries) {
            if (tag != 0 && entry.type_tag == tag) {
                return nullptr;
            }
            if (vacant == nullptr && entry.type_tag == 0) {
                vacant = &entry;
            }
        }
        if (vacant == nullptr) {
            vacant = &entries[next_evicted];
            next_evicted = (next_evicted + 1) % kWays;
        }
        return vacant;
    }
};

// Attribute reads through a cache (a Slot or a SlotSet): the cached value
// when it hits, otherwise the ordinary read, which teaches the cache when
// the attribute is a plain instance attribute that it can hold.

// The ordinary read of `obj.<name>`, after the cache missed; with
// `optional`, as hasattr() reads it (an empty Ref when it is missing).
template <typename Cache>
[[gnu::noinline]] Ref ReadAttributeSlowly(Cache& cache, PyObject* obj, PyObject* name, bool optional) {
    Slot* slot = cache.entry_to_learn(obj);
    const Py_ssize_t index = slot != nullptr ? slot->examine(obj, name) : -1;
    Ref value = optional ? GetOptionalAttr(obj, name) : GetAttr(obj, name);
    if (index >= 0 && value) {
        slot->learn(obj, index, value.get());
    }
    return value;
}

// `obj.<name>`, read as the interpreter reads it.
template <typename Cache>
inline Ref ReadAttribute(Cache& cache, PyObject* obj, PyObject* name, bool optional = false) {
    if (PyObject* value = cache.read(obj)) [[likely]] {
        return Ref::new_reference(value);
    }
    return ReadAttributeSlowly(cache, obj, name, optional);
}

// The check each extension makes at load before it uses cached reads: they
// are compared with the ordinary ones on an instance of `cls` (a class of
// its own, made by calling type, with no class attribute `names[0]`; the
// instance is made without __init__ and dropped afterwards): set, replaced,
// deleted, beside other attributes, and with the instance's __dict__
// materialised.  The three names become keys of the class's shared keys,
// in that order, so they are names its instances get first anyway.  Any
// difference leaves the cache off for the life of the process, so a layout
// this code misjudges costs speed, never a wrong value.
inline bool CachedReadsAgree(PyObject* cls, PyObject* const (&names)[3]) {
    Ref no_args = New(PyTuple_New(0));
    Ref probe = New(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), no_args.get(), nullptr));
    Ref first = New(PyList_New(0));
    Ref second = New(PyList_New(0));

    Slot slot;
    SetAttr(probe.get(), names[0], first.get());
    const Py_ssize_t index = slot.examine(probe.get(), names[0]);
    if (index < 0) {
        return false;
    }
    slot.learn(probe.get(), index, GetAttr(probe.get(), names[0]).get());
    // A read through the slot must give what getattr() gives, or miss.
    auto reads = [&](PyObject* expected) { return slot.type_tag != 0 && slot.read(probe.get()) == expected; };
    if (!reads(first.get())) {
        return false;
    }
    SetAttr(probe.get(), names[0], second.get());
    if (!reads(second.get())) {
        return false;
    }
    // Further attributes, so that reads at later indexes are checked too
    // (they may shadow the class's attributes on this instance only).
    SetAttr(probe.get(), names[1], first.get());
    SetAttr(probe.get(), names[2], second.get());
    for (PyObject* name : {names[1], names[2]}) {
        const Py_ssize_t at = SharedKeyIndex(Py_TYPE(probe.get()), name);
        Ref ordinary = GetAttr(probe.get(), name);
        if (at <= 0 || ValueAt(probe.get(), at) != ordinary.get()) {
            return false;
        }
    }
    Require(PyObject_DelAttr(probe.get(), names[0]));
    if (!reads(nullptr)) {
        return false;
    }
    SetAttr(probe.get(), names[0], first.get());
    if (!reads(first.get())) {
        return false;
    }
    // A materialised __dict__ holds the attributes from now on: the cached
    // read must miss rather than read values no longer in use.
    Ref dict = New(PyObject_GenericGetDict(probe.get(), nullptr));
    Require(PyDict_SetItem(dict.get(), names[0], second.get()));
    return reads(nullptr);
}

inline void EnableCachedReads(PyObject* cls, PyObject* const (&names)[3]) {
    enabled = false;
    if constexpr (kLayoutKnown) {
        enabled = true;  // for the check itself
        enabled = CachedReadsAgree(cls, names);
    }
}

// The cache of one locked-call site: `__lock__` on the instance (of a few
// classes at once), `acquire` and `release` on the lock, and for each lock
// method the C method it was found to be when it is the native semaphore's
// own (NULL otherwise).
struct LockSiteCache {
    SlotSet<4> lock;
    Slot acquire;
    Slot release;
    PyMethodDef* acquire_method = nullptr;
    PyMethodDef* release_method = nullptr;
};

}  // namespace quelbrin::inline_values
