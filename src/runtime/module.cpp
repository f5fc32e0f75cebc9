// Multi-phase module loading, once per process and interpreter, plus the import, class and
// constant helpers that module bodies are written with.
#include <string>

#include "internal.hpp"

namespace vk {

namespace {

// This module's state. The runtime is linked into each module, so there is one per module; the
// exec slot cannot find it through PyModule_GetDef, which knows only modules made by the
// create slot.
ModuleState* this_module = nullptr;

int check_interpreter(ModuleState& st) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (st.interpreter == -1) {
        st.interpreter = current;
    } else if (st.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                   bool allow_none) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref holder = Ref::steal(value);
    if (!found || (!allow_none && value == Py_None)) return 0;
    return PyDict_SetItemString(dict, to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef* def) {
    ModuleState& st = *state_of(def);
    if (check_interpreter(st) < 0) return nullptr;
    if (st.held) return Py_NewRef(st.held);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

int check_version(ModuleState& st) {
    // Held: reading an item may run code that rebinds sys.version_info.
    Ref info = Ref::borrow(PySys_GetObject("version_info"));
    if (!info) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.version_info");
        return -1;
    }
    long major = -1, minor = -1;
    {
        Ref a = Ref::steal(PySequence_GetItem(info.get(), 0));
        if (!a || (major = PyLong_AsLong(a.get())) == -1) return PyErr_Occurred() ? -1 : 0;
        Ref b = Ref::steal(PySequence_GetItem(info.get(), 1));
        if (!b || (minor = PyLong_AsLong(b.get())) == -1) return PyErr_Occurred() ? -1 : 0;
    }
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version "
                  "%d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, st.name, "does not match",
                  static_cast<int>(major), static_cast<int>(minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int run_exec(ModuleState& st, PyObject* module) {
    {
        Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
        if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
            return -1;
    }
    if (check_version(st) < 0) return -1;
    if (runtime_ready() < 0 || make_constants() < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = nullptr;
    if (PyDict_GetItemStringRef(modules, st.name, &existing) < 0) return -1;
    Py_XDECREF(existing);
    if (!existing && PyDict_SetItemString(modules, st.name, module) < 0) return -1;
    if (st.body(module) < 0) {
        std::string entry = std::string("init ") + st.name;
        add_traceback(entry.c_str(), 1, st.file, PyModule_GetDict(module));
        return -1;
    }
    return 0;
}

// Any module object may arrive here: loaders and harnesses call PyModule_ExecDef on modules
// of their own making.
int module_exec(PyObject* module) {
    ModuleState& st = *this_module;
    if (check_interpreter(st) < 0) return -1;
    if (st.held) {
        if (st.held == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     st.short_name);
        return -1;
    }
    st.held = Py_NewRef(module);
    if (run_exec(st, module) < 0) {
        Py_CLEAR(st.held);
        return -1;
    }
    return 0;
}

PyObject* import_name_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // A submodule of that name that is already imported serves as well.
        const char* modname = PyModule_GetName(module);
        Ref full = modname ? Ref::steal(PyUnicode_FromFormat("%s.%U", modname, name)) : Ref();
        if (full) value = PyImport_GetModule(full.get());
        PyErr_Clear();
    }
    if (!value) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

}  // namespace

ModuleState& module_state() {
    return *this_module;
}

PyObject* module_init(ModuleState& st) {
    this_module = &st;
    if (!st.def.m_name) {
        st.methods[0] = {nullptr, nullptr, 0, nullptr};
        st.slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
        st.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
        st.slots[2] = {0, nullptr};
        st.def = {
            PyModuleDef_HEAD_INIT,
            st.short_name,
            st.doc,
            0,
            st.methods,
            st.slots,
            nullptr,
            nullptr,
            nullptr,
        };
    }
    return PyModuleDef_Init(&st.def);
}

int import_module(PyObject* module, const char* full, const char* name, int level,
                  std::initializer_list<const char*> fromlist) {
    PyObject* globals = PyModule_GetDict(module);
    // A tuple, as the interpreter passes: an import hook can keep the fromlist, and the names
    // are read again after it ran.
    Ref names = Ref::steal(kwnames({fromlist.begin(), fromlist.size()}));
    if (!names) return -1;
    Ref fullname = Ref::steal(PyUnicode_FromString(full));
    if (!fullname) return -1;
    Ref mod = Ref::steal(PyImport_GetModule(fullname.get()));
    if (!mod && PyErr_Occurred()) return -1;
    for (Py_ssize_t i = 0; mod && i < PyTuple_GET_SIZE(names.get()); ++i) {
        int has = PyObject_HasAttrWithError(mod.get(), PyTuple_GET_ITEM(names.get(), i));
        if (has < 0) return -1;
        if (!has) mod.reset();
    }
    if (!mod) {
        Ref modname = Ref::steal(PyUnicode_FromString(name));
        Ref locals = Ref::steal(PyDict_New());
        if (!modname || !locals) return -1;
        mod = Ref::steal(PyImport_ImportModuleLevelObject(
            modname.get(), globals, locals.get(), fromlist.size() ? names.get() : nullptr, level));
        if (!mod) return -1;
    }
    if (fromlist.size() == 0) {
        Ref bound = Ref::steal(PyUnicode_InternFromString(name));
        return bound ? PyDict_SetItem(globals, bound.get(), mod.get()) : -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject* n = PyTuple_GET_ITEM(names.get(), i);
        Ref value = Ref::steal(import_name_from(mod.get(), n));
        if (!value || PyDict_SetItem(globals, n, value.get()) < 0) return -1;
    }
    return 0;
}

Ref make_class(PyObject*, const char* name, const char* doc, std::initializer_list<Entry> entries) {
    ModuleState& st = module_state();
    Ref ns = Ref::steal(PyDict_New());
    Ref pyname = Ref::steal(PyUnicode_InternFromString(name));
    Ref modname = Ref::steal(PyUnicode_InternFromString(st.name));
    if (!ns || !pyname || !modname) return Ref();
    if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", pyname.get()) < 0)
        return Ref();
    if (doc) {
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        if (!d || PyDict_SetItemString(ns.get(), "__doc__", d.get()) < 0) return Ref();
    }
    for (const Entry& e : entries)
        if (PyDict_SetItemString(ns.get(), e.name, e.value) < 0) return Ref();
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return Ref();
    PyObject* args[] = {pyname.get(), bases.get(), ns.get()};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), args);
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) != 0) return Ref::steal(value);
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins && PyDict_GetItemRef(builtins, name, &value) != 0) return Ref::steal(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

int make_constants() {
    for (Constant* c = Constant::registered_; c; c = c->next_)
        if (!c->obj_ && !(c->obj_ = c->make())) return -1;
    return 0;
}

PyObject* kwnames(std::span<const char* const> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i++, s);
    }
    return t;
}

}  // namespace vk
