// Cached attribute reads and method lookups: what the interpreter's specialised LOAD_ATTR
// and method calls do, done from C. This is the one file built against CPython 3.13's
// internal headers (the build pins that version exactly), for the layout of an instance's
// inline values and of a type's shared keys.
#define Py_BUILD_CORE 1
#include "internal.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#pragma GCC diagnostic pop

#include <structmember.h>

namespace vk {

namespace {

// Instances of a type with inline values keep their attributes in an array indexed by the
// entries of the type's shared keys, as long as the values are marked valid (no dict of their
// own has replaced them). Shared keys only ever gain entries: an entry, once there, keeps its
// index for the life of the keys, and a name absent while the entry count is unchanged is
// still absent.
void learn_slot(PyTypeObject* type, InlineSlot& slot) {
    slot = InlineSlot{};
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        return;
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    slot.keys = keys;
    if (keys) slot.nentries = &keys->dk_nentries;
}

// The mirror in runtime.hpp that the in-line reads use.
static_assert(offsetof(InlineValues, capacity) == offsetof(PyDictValues, capacity));
static_assert(offsetof(InlineValues, valid) == offsetof(PyDictValues, valid));
static_assert(offsetof(InlineValues, values) == offsetof(PyDictValues, values));

Py_ssize_t find_entry(PyDictKeysObject* keys, PyObject* name) {
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    Py_ssize_t n = keys->dk_nentries;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (entries[i].me_key == name) return i;
    // Keys here are exact str, as is the name: comparing them runs no Python code.
    Py_hash_t hash = PyObject_Hash(name);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = entries[i].me_key;
        if (key && PyUnicode_CheckExact(key) && PyObject_Hash(key) == hash &&
            PyUnicode_Compare(key, name) == 0)
            return i;
    }
    return -1;
}

// Unknown: the object keeps no valid inline values, so look in its dict. Generic: they are
// inline, but not as this site learnt them; only the ordinary path can say.
enum class Found { Value, Absent, Unknown, Generic };

// The instance attribute `name` of `obj` from its inline values (borrowed into *value), that
// it has none, or that the values cannot tell (no inline values, or a dict replaced them).
Found inline_value(PyObject* obj, PyObject* name, PyTypeObject* type, InlineSlot& slot,
                   PyObject** value) {
    auto* keys = static_cast<PyDictKeysObject*>(const_cast<void*>(slot.keys));
    if (!keys)
        return PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ? Found::Generic : Found::Unknown;
    PyDictValues* values = _PyObject_InlineValues(obj);
    if (!values->valid) return Found::Unknown;
    if (reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != keys) return Found::Generic;
    if (slot.index < 0) {
        if (keys->dk_nentries == slot.absent_at) return Found::Absent;
        slot.index = find_entry(keys, name);
        if (slot.index < 0) {
            slot.absent_at = keys->dk_nentries;
            return Found::Absent;
        }
    }
    if (slot.index >= values->capacity) return Found::Generic;
    *value = values->values[slot.index];
    return *value ? Found::Value : Found::Absent;
}

// The instance dict, for objects whose attributes are not (or no longer) inline.
PyObject* instance_dict(PyObject* obj, PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return reinterpret_cast<PyObject*>(_PyObject_GetManagedDict(obj));
    PyObject** dict = _PyObject_GetDictPtr(obj);
    return dict ? *dict : nullptr;
}

bool learn(PyTypeObject* type, PyObject* name, AttrCache& cache) {
    cache = AttrCache{};
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, name);  // borrowed; gives the type a version tag
    if (type->tp_version_tag == 0) return false;   // no tag to key on: every read is generic
    if (found && Py_IS_TYPE(found, &PyMemberDescr_Type)) {
        PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
        // A member read by another type's layout is the descriptor's own TypeError to raise.
        auto* owner = reinterpret_cast<PyDescrObject*>(found)->d_type;
        if (m->type != Py_T_OBJECT_EX || (m->flags & Py_AUDIT_READ) ||
            !PyType_IsSubtype(type, owner))
            return false;
        cache.member = m;
    } else if (found) {
        if (Py_TYPE(found)->tp_descr_get) return false;
        cache.class_value = found;
    }
    if (!cache.member) learn_slot(type, cache.slot);
    cache.type = type;
    cache.tag = type->tp_version_tag;
    return true;
}

bool learn_method_of(PyTypeObject* type, PyObject* name, MethodCache& cache) {
    cache = MethodCache{};
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, name);
    if (type->tp_version_tag == 0 || !found ||
        !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return false;
    cache.type = type;
    cache.tag = type->tp_version_tag;
    cache.function = found;
    learn_slot(type, cache.slot);
    return true;
}

}  // namespace

// Everything but the usual lookup that cached_method (runtime.hpp) does in line.
PyObject* learn_method(PyObject* self, PyObject* name, MethodCache& cache) {
    PyTypeObject* type = Py_TYPE(self);
    if ((type != cache.type || type->tp_version_tag != cache.tag) &&
        !learn_method_of(type, name, cache))
        return nullptr;
    // An instance attribute of that name wins over the method, as in the generic lookup.
    PyObject* value = nullptr;
    switch (inline_value(self, name, type, cache.slot, &value)) {
        case Found::Value:
            return nullptr;
        case Found::Absent:
            return cache.function;
        case Found::Generic:
            return nullptr;
        case Found::Unknown:
            break;
    }
    PyObject* dict = instance_dict(self, type);
    if (!dict) return cache.function;
    Ref held = Ref::borrow(dict);
    int found = PyDict_Contains(held.get(), name);
    if (found != 0) {
        if (found < 0) PyErr_Clear();  // the ordinary path meets the same error
        return nullptr;
    }
    // Running a key's __eq__ above may have changed the type.
    return Py_TYPE(self) == type && type->tp_version_tag == cache.tag ? cache.function : nullptr;
}

// Everything but the usual read that getattr (runtime.hpp) does in line, learning included.
Ref learn_attr(PyObject* obj, PyObject* name, AttrCache& cache) {
    PyTypeObject* type = Py_TYPE(obj);
    if ((type != cache.type || type->tp_version_tag != cache.tag) && !learn(type, name, cache))
        return getattr(obj, name);
    if (cache.member)
        return Ref::steal(PyMember_GetOne(reinterpret_cast<const char*>(obj), cache.member));
    PyObject* value = nullptr;
    switch (inline_value(obj, name, type, cache.slot, &value)) {
        case Found::Value:
            return Ref::borrow(value);
        case Found::Absent:
            if (cache.class_value) return Ref::borrow(cache.class_value);
            return getattr(obj, name);  // raises the interpreter's AttributeError
        case Found::Generic:
            return getattr(obj, name);
        case Found::Unknown:
            break;
    }
    PyObject* dict = instance_dict(obj, type);
    if (dict) {
        Ref held = Ref::borrow(dict);  // a key's __eq__ may replace obj.__dict__
        if (PyDict_GetItemRef(held.get(), name, &value) != 0) return Ref::steal(value);
        // ... or change the type, and with it the class attribute.
        if (Py_TYPE(obj) != type || type->tp_version_tag != cache.tag) return getattr(obj, name);
    }
    if (cache.class_value) return Ref::borrow(cache.class_value);
    return getattr(obj, name);  // raises the interpreter's AttributeError
}

uint64_t dict_version(PyObject* dict) {
    // The low bits count watchers and watched changes, not contents.
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag &
           ~static_cast<uint64_t>(DICT_WATCHER_AND_MODIFICATION_MASK);
}

}  // namespace vk
