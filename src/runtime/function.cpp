// Function objects that behave like Python functions: descriptor binding, vectorcall,
// the usual metadata attributes and a real __code__ for introspection.
#include <cstddef>

#include "internal.hpp"

namespace vk {

namespace {

// Every parameter given, the positional ones by position and the rest by keyword in
// parameter order, each name the parameter's own (interned) object: the values are already
// in parameter order, and no default is read.
inline bool given_in_order(Function* fn, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t nkw) {
    if (nargs + nkw != fn->nfull || nargs > fn->npos) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) != fn->names[nargs + k]) return false;
    return true;
}

// A few pointers are copied in line; a memcpy call would cost more than the copy.
[[gnu::optimize("no-tree-loop-distribute-patterns")]] PyObject* function_vectorcall(
    PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Args bound;
    if (given_in_order(fn, nargs, kwnames, nkw)) {
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i) bound.v[i] = args[i];
    } else if (bind(fn, args, nargs, kwnames, bound) < 0) {
        add_function_traceback(fn, false);
        return nullptr;
    }
    if (fn->int_checks | fn->str_checks) {
        // Exact strs pass every rule; anything else takes the full pass, which starts over.
        bool pass = fn->int_checks == 0;
        for (uint32_t m = fn->str_checks; pass && m; m &= m - 1)
            pass = PyUnicode_CheckExact(bound.v[__builtin_ctz(m)]);
        if (!pass && apply_checks(fn, bound) < 0) return nullptr;
    }
    if (fn->def->body != Body::Plain) return coroutine_new(fn, bound);
    PyObject* result = fn->def->impl(fn, bound);
    if (!result) add_function_traceback(fn, false);
    return result;
}

// The vectorcall of a function whose parameters are all positional-or-keyword with no type
// rule and a plain body (a property getter, `self` alone): called with exactly those
// positionally, nothing is left to bind or check.
[[gnu::optimize("no-tree-loop-distribute-patterns")]] PyObject* positional_vectorcall(
    PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != fn->npos || (kwnames && PyTuple_GET_SIZE(kwnames) > 0))
        return function_vectorcall(self, args, nargsf, kwnames);
    Args bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.v[i] = args[i];
    PyObject* result = fn->def->impl(fn, bound);
    if (!result) add_function_traceback(fn, false);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->type_params);
    return 0;
}

int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->type_params);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->tb_name);
    for (auto& n : fn->names) Py_CLEAR(n);
    PyObject_GC_Del(self);
}

// ---- attributes

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->name);
}
int set_str_attr(PyObject** slot, PyObject* value, const char* attr) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_attr(&reinterpret_cast<Function*>(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_attr(&reinterpret_cast<Function*>(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<Function*>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<Function*>(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->code);
}

PyObject* get_type_params(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    if (!fn->type_params) return PyTuple_New(0);
    return Py_NewRef(fn->type_params);
}
int set_type_params(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function*>(self)->type_params, Py_NewRef(value));
    return 0;
}

// pickle and copy take a returned string as "the global of this name in __module__", which
// is how they treat Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- construction

Ref make_default(const Default& d) {
    switch (d.tag) {
        case Default::NoneValue:
            return Ref::borrow(Py_None);
        case Default::Text:
            return Ref::steal(PyUnicode_InternFromString(d.text));
        case Default::Integer:
            return Ref::steal(PyLong_FromLong(d.integer));
        case Default::Absent:
            break;
    }
    return Ref();
}

Ref make_code(Function* fn, const FuncDef& def) {
    Ref code =
        Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(fn->mod->file, def.name, def.line)));
    if (!code) return code;
    Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
    Py_ssize_t nlocals = nparams + static_cast<Py_ssize_t>(def.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) return Ref();
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        PyObject* name = i < nparams ? Py_NewRef(fn->names[i])
                                     : PyUnicode_InternFromString(def.locals[i - nparams]);
        if (!name) return Ref();
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (fn->varkw >= 0) flags |= CO_VARKEYWORDS;
    if (def.body == Body::Generator) flags |= CO_GENERATOR;
    if (def.body == Body::Coroutine) flags |= CO_COROUTINE;
    Ref replace = getattr(code.get(), Ref::steal(PyUnicode_InternFromString("replace")).get());
    if (!replace) return Ref();
    Ref kw = Ref::steal(Py_BuildValue("{s:n,s:i,s:n,s:O,s:n,s:i,s:O}", "co_argcount",
                                      static_cast<Py_ssize_t>(fn->npos), "co_posonlyargcount", 0,
                                      "co_kwonlyargcount", static_cast<Py_ssize_t>(fn->nkwonly),
                                      "co_varnames", varnames.get(), "co_nlocals", nlocals,
                                      "co_flags", flags, "co_qualname", fn->qualname));
    if (!kw) return Ref();
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return Ref();
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kw.get()));
}

}  // namespace

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "velkor_native.function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(Function, weakreflist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(Function, dict),
};

Ref make_function(const FuncDef& def, PyObject* module, const char* owner) {
    ModuleState* state = &module_state();
    if (def.params.size() > static_cast<size_t>(kMaxParams)) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return Ref();
    }
    Function* fn = PyObject_GC_New(Function, &FunctionType);
    if (!fn) return Ref();
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    fn->mod = state;
    fn->name = fn->qualname = fn->module = fn->doc = nullptr;
    fn->defaults = fn->kwdefaults = fn->annotations = fn->dict = nullptr;
    fn->kwcache_dict = nullptr;
    fn->kwcache_version = 0;
    fn->code = fn->globals = fn->weakreflist = fn->type_params = fn->tb_name = nullptr;
    fn->npos = fn->nkwonly = 0;
    fn->nfull = -1;
    fn->varkw = -1;
    fn->int_checks = fn->str_checks = 0;
    for (auto& n : fn->names) n = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(fn));

    fn->name = PyUnicode_InternFromString(def.name);
    fn->qualname =
        owner ? PyUnicode_FromFormat("%s.%s", owner, def.name) : PyUnicode_FromString(def.name);
    if (fn->qualname) PyUnicode_InternInPlace(&fn->qualname);
    fn->tb_name = fn->qualname ? PyUnicode_FromFormat("%s.%U", state->name, fn->qualname) : nullptr;
    fn->module = PyUnicode_InternFromString(state->name);
    fn->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    fn->globals = Py_XNewRef(PyModule_GetDict(module));
    fn->annotations = PyDict_New();
    if (!fn->name || !fn->qualname || !fn->tb_name || !fn->module || !fn->doc || !fn->globals ||
        !fn->annotations)
        return Ref();

    Ref defaults = Ref::steal(PyList_New(0));
    if (!defaults) return Ref();
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        fn->names[i] = PyUnicode_InternFromString(p.name);
        if (!fn->names[i]) return Ref();
        if (p.kind == Kind::PosOrKw) ++fn->npos;
        if (p.kind == Kind::KwOnly) ++fn->nkwonly;
        if (p.kind == Kind::VarKw) fn->varkw = static_cast<int16_t>(i);
        if (p.check == Check::Int) fn->int_checks |= 1u << i;
        if (p.check == Check::Str || p.check == Check::StrOrNone) fn->str_checks |= 1u << i;
        if (p.annotation) {
            Ref ann = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!ann || PyDict_SetItem(fn->annotations, fn->names[i], ann.get()) < 0) return Ref();
        }
        if (p.dflt.tag == Default::Absent) continue;
        Ref value = make_default(p.dflt);
        if (!value) return Ref();
        if (p.kind == Kind::PosOrKw) {
            if (PyList_Append(defaults.get(), value.get()) < 0) return Ref();
        } else {
            if (!fn->kwdefaults && !(fn->kwdefaults = PyDict_New())) return Ref();
            if (PyDict_SetItem(fn->kwdefaults, fn->names[i], value.get()) < 0) return Ref();
        }
    }
    fn->nfull = fn->varkw >= 0 ? -1 : static_cast<int16_t>(fn->npos + fn->nkwonly);
    if (PyList_GET_SIZE(defaults.get()) > 0 && !(fn->defaults = PyList_AsTuple(defaults.get())))
        return Ref();
    if (def.returns) {
        Ref ann = Ref::steal(PyUnicode_FromString(def.returns));
        if (!ann || PyDict_SetItemString(fn->annotations, "return", ann.get()) < 0) return Ref();
    }
    if (fn->nfull == fn->npos && !(fn->int_checks | fn->str_checks) && def.body == Body::Plain)
        fn->vectorcall = positional_vectorcall;
    Ref code = make_code(fn, def);
    if (!code) return Ref();
    fn->code = code.release();
    PyObject_GC_Track(self.get());
    return self;
}

void add_function_traceback(Function* fn, bool bare) {
    const FuncDef& def = *fn->def;
    const char* name = bare ? def.name : PyUnicode_AsUTF8(fn->tb_name);  // ASCII: cannot fail
    add_traceback(name, def.line, fn->mod->file, fn->globals);
}

}  // namespace vk
