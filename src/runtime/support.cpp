// Conversions, result tests and traceback entries used by module bodies.
#include <string>
#include <unordered_map>

#include "internal.hpp"

#include <frameobject.h>

namespace vk {

Ref as_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Str(value));
}

Ref as_int(PyObject* value) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyNumber_Long(value));
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
