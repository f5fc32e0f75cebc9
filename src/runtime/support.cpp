// Conversions, result tests and traceback entries used by module bodies.
#include <string>
#include <unordered_map>

#include "internal.hpp"

#include <frameobject.h>
#include <structmember.h>

namespace vk {

Ref as_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Str(value));
}

Ref as_int(PyObject* value) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyNumber_Long(value));
}

namespace {

bool learn(PyTypeObject* type, PyObject* name, AttrCache& cache) {
    cache = AttrCache{};
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, name);  // borrowed; gives the type a version tag
    if (type->tp_version_tag == 0) return false;   // no tag to key on: every read is generic
    if (found && Py_IS_TYPE(found, &PyMemberDescr_Type)) {
        PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
        if (m->type != Py_T_OBJECT_EX || (m->flags & Py_AUDIT_READ)) return false;
        cache.member = m;
    } else if (found) {
        if (Py_TYPE(found)->tp_descr_get) return false;
        cache.class_value = found;
    }
    cache.type = type;
    cache.tag = type->tp_version_tag;
    return true;
}

bool learn_method(PyTypeObject* type, PyObject* name, MethodCache& cache) {
    cache = MethodCache{};
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, name);
    if (type->tp_version_tag == 0 || !found ||
        !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return false;
    cache = {type, type->tp_version_tag, found};
    return true;
}

}  // namespace

PyObject* cached_method(PyObject* self, PyObject* name, MethodCache& cache) {
    PyTypeObject* type = Py_TYPE(self);
    if ((type != cache.type || type->tp_version_tag != cache.tag) &&
        !learn_method(type, name, cache))
        return nullptr;
    // An instance attribute of that name wins over the method, as in the generic lookup.
    PyObject** dict = _PyObject_GetDictPtr(self);
    if (!dict) return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) ? nullptr : cache.function;
    if (!*dict) return cache.function;
    Ref held = Ref::borrow(*dict);
    int found = PyDict_Contains(held.get(), name);
    if (found != 0) {
        if (found < 0) PyErr_Clear();  // the ordinary path meets the same error
        return nullptr;
    }
    // Running a key's __eq__ above may have changed the type.
    return type->tp_version_tag == cache.tag ? cache.function : nullptr;
}

Ref getattr(PyObject* obj, PyObject* name, AttrCache& cache) {
    PyTypeObject* type = Py_TYPE(obj);
    if ((type != cache.type || type->tp_version_tag != cache.tag) && !learn(type, name, cache))
        return getattr(obj, name);
    if (cache.member)
        return Ref::steal(PyMember_GetOne(reinterpret_cast<const char*>(obj), cache.member));
    PyObject** dict = _PyObject_GetDictPtr(obj);
    if (!dict) return getattr(obj, name);
    if (*dict) {
        Ref held = Ref::borrow(*dict);  // a key's __eq__ may replace obj.__dict__
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(held.get(), name, &value) != 0) return Ref::steal(value);
    }
    if (cache.class_value) return Ref::borrow(cache.class_value);
    return getattr(obj, name);  // raises the interpreter's AttributeError
}

const char* type_name(PyObject* value, Ref& holder) {
    holder = Ref::steal(PyType_GetName(Py_TYPE(value)));
    const char* s = holder ? PyUnicode_AsUTF8(holder.get()) : nullptr;
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(value)->tp_name;
    }
    return s;
}

PyObject* expect_dict_or_none(Ref result) {
    if (!result) return nullptr;
    PyObject* r = result.get();
    if (PyDict_CheckExact(r) || r == Py_None) return result.release();
    Ref holder;
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "dict", type_name(r, holder));
    return nullptr;
}

void add_traceback(const char* funcname, int line, const char* file, PyObject* globals) {
    // One code object per frame name, kept for the life of the process.
    static std::unordered_map<std::string, PyCodeObject*> codes;
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject*& code = codes[funcname];
    if (!code) code = PyCode_NewEmpty(file, funcname, line);
    if (code) {
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        if (frame) {
            PyErr_SetRaisedException(exc);
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
            return;
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

int runtime_ready() {
    for (PyTypeObject* t : {&FunctionType, &GeneratorType, &CoroutineType, &CoroutineWrapperType})
        if (PyType_Ready(t) < 0) return -1;
    return 0;
}

}  // namespace vk
