// Argument binding with def semantics and the classic interpreter messages, and the
// annotation-driven type rules applied after it.
#include "internal.hpp"

namespace vk {

namespace {

void raise_count(Function* fn, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char* qualifier = given < min ? "at least" : "at most";
    if (min == max) qualifier = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn->def->name, qualifier, expected, expected == 1 ? "" : "s", given);
}

// Position of `key` in kwnames, identity first (call sites pass interned names).
PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[i];
    }
    return nullptr;
}

// Index of the parameter called `key` among fn->names[from, to), or -1.
int param_index(Function* fn, PyObject* key, int from, int to) {
    for (int i = from; i < to; ++i)
        if (fn->names[i] == key) return i;
    for (int i = from; i < to; ++i)
        if (PyUnicode_Compare(fn->names[i], key) == 0) return i;
    return -1;
}

int bind_no_params(Function* fn, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", fn->def->name, "takes no keyword arguments");
        return -1;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", fn->def->name,
                     "takes no arguments", nargs);
        return -1;
    }
    return 0;
}

// Keywords left after the positional pass: assign, collect into **kwargs, or refuse.
int bind_keywords(Function* fn, Py_ssize_t nargs, PyObject* kwnames, PyObject* const* kwvalues,
                  Args& out) {
    int nparams = fn->npos + fn->nkwonly;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn->def->name);
            return -1;
        }
        int first = static_cast<int>(nargs);
        int i = param_index(fn, key, first, nparams);
        if (i >= 0) {
            out.v[i] = kwvalues[k];
            continue;
        }
        if (param_index(fn, key, 0, first) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn->def->name, key);
            return -1;
        }
        if (fn->varkw < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn->def->name, key);
            return -1;
        }
        if (!out.v[fn->varkw]) {
            PyObject* collected = PyDict_New();
            if (!collected) return -1;
            out.own(fn->varkw, collected);
        }
        if (PyDict_SetItem(out.v[fn->varkw], key, kwvalues[k]) < 0) return -1;
    }
    return 0;
}

const Str add_note_name{"add_note"};
const Str subclass_note{
    "Note that this function is deliberately stricter than PEP-484 and rejects subclasses of "
    "builtin types."};

void add_subclass_note() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* args[] = {exc, subclass_note};
    Ref res = Ref::steal(PyObject_VectorcallMethod(add_note_name, args, 2, nullptr));
    if (!res) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

int check_str(const Param& p, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return 0;
    if (p.check == Check::StrOrNone && value == Py_None) return 0;
    Ref holder;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 "str", type_name(value, holder));
    if (PyUnicode_Check(value)) add_subclass_note();
    return -1;
}

int convert_int(const Param& p, Args& args, int i) {
    PyObject* value = args.v[i];
    if (PyLong_CheckExact(value)) return 0;
    if (!PyNumber_Check(value)) {
        Ref holder;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", p.name,
                     "int", type_name(value, holder));
        if (PyLong_Check(value)) add_subclass_note();
        return -1;
    }
    PyObject* converted = PyNumber_Long(value);
    if (!converted) return -1;
    args.own(i, converted);
    return 0;
}

// The usual keyword call: each name is, by identity, a parameter not given by position, and
// no required positional one is left out. Anything else undoes the assignments and says no.
bool assign_keywords(Function* fn, Py_ssize_t nargs, Py_ssize_t min, PyObject* kwnames,
                     PyObject* const* kwvalues, Args& out) {
    const int first = static_cast<int>(nargs), nnamed = fn->npos + fn->nkwonly;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    bool ok = true;
    for (Py_ssize_t k = 0; ok && k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = first;
        while (i < nnamed && fn->names[i] != key) ++i;
        ok = i < nnamed && !out.v[i];
        if (ok) out.v[i] = kwvalues[k];
    }
    for (int i = first; ok && i < min; ++i) ok = out.v[i] != nullptr;
    if (!ok)
        for (int i = first; i < nnamed; ++i) out.v[i] = nullptr;
    return ok;
}

// Parameter i's keyword-only default from `kwdefaults` (held by the call) as a new reference,
// NULL with no error when it has none. The values read at one version of the dict are kept,
// borrowed, while its version is unchanged (every change to a dict gives it a new one).
int kwdefault(Function* fn, PyObject* kwdefaults, int i, PyObject** value) {
    uint64_t version = dict_version(kwdefaults);
    if (fn->kwcache_dict != kwdefaults || fn->kwcache_version != version || version == 0) {
        fn->kwcache_dict = nullptr;
        for (int j = fn->npos; j < fn->npos + fn->nkwonly; ++j) {
            PyObject* d = nullptr;
            // A key's __eq__ may run here and change the dict; then nothing is kept.
            if (PyDict_GetItemRef(kwdefaults, fn->names[j], &d) < 0) return -1;
            fn->kwcache[j] = d;
            Py_XDECREF(d);  // stays alive in the dict while its version holds
        }
        if (dict_version(kwdefaults) != version) {
            *value = nullptr;
            return PyDict_GetItemRef(kwdefaults, fn->names[i], value);
        }
        fn->kwcache_dict = kwdefaults;
        fn->kwcache_version = version;
    }
    *value = Py_XNewRef(fn->kwcache[i]);
    return 0;
}

}  // namespace

// A few pointers are set in line; memset and memcpy calls would cost more.
[[gnu::optimize("no-tree-loop-distribute-patterns")]] int bind(Function* fn, PyObject* const* args,
                                                               Py_ssize_t nargs, PyObject* kwnames,
                                                               Args& out) {
    int nparams = fn->npos + fn->nkwonly + (fn->varkw >= 0 ? 1 : 0);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // The common call: every parameter given by position.
    if (nkw == 0 && nargs == nparams && nargs == fn->npos) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out.v[i] = args[i];
        return 0;
    }
    if (nparams == 0) return bind_no_params(fn, nargs, kwnames);

    // Before anything below can run Python code (hashing a **kwargs key, comparing keys of a
    // rebound __kwdefaults__), which could rebind either attribute.
    out.defaults = Py_XNewRef(fn->defaults);
    if (fn->nkwonly > 0) out.kwdefaults = Py_XNewRef(fn->kwdefaults);

    Py_ssize_t max = fn->npos;
    Py_ssize_t ndefaults = out.defaults ? PyTuple_GET_SIZE(out.defaults) : 0;
    if (ndefaults > max) ndefaults = max;
    Py_ssize_t min = max - ndefaults;

    if (nargs > max) {
        raise_count(fn, min, max, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.v[i] = args[i];
    for (int i = static_cast<int>(nargs); i < nparams; ++i) out.v[i] = nullptr;

    PyObject* const* kwvalues = args + nargs;
    if (nkw == 0) {
        if (nargs < min) {
            raise_count(fn, min, max, nargs);
            return -1;
        }
    } else if (!assign_keywords(fn, nargs, min, kwnames, kwvalues, out)) {
        // Anything unusual (an unknown or repeated name, a name equal but not identical, a
        // missing required argument, **kwargs): the full pass, with its messages.
        Py_ssize_t left = nkw;
        for (Py_ssize_t i = nargs; i < max; ++i) {
            if (i >= min && left == 0) break;
            PyObject* value = find_keyword(fn->names[i], kwnames, kwvalues);
            if (value) {
                out.v[i] = value;
                --left;
            } else if (i < min) {
                raise_count(fn, min, max, i);
                return -1;
            }
        }
        if (left > 0 && bind_keywords(fn, nargs, kwnames, kwvalues, out) < 0) return -1;
    }

    for (Py_ssize_t i = nargs; i < max; ++i) {
        if (out.v[i]) continue;
        out.v[i] = PyTuple_GET_ITEM(out.defaults, ndefaults - (max - i));
    }

    for (int i = fn->npos; i < fn->npos + fn->nkwonly; ++i) {
        if (out.v[i]) continue;
        if (out.kwdefaults) {
            PyObject* d = nullptr;
            if (kwdefault(fn, out.kwdefaults, i, &d) < 0) return -1;
            if (d) {
                out.own(i, d);
                continue;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", fn->def->name,
                     fn->names[i]);
        return -1;
    }
    if (fn->varkw >= 0 && !out.v[fn->varkw]) {
        PyObject* collected = PyDict_New();
        if (!collected) return -1;
        out.own(fn->varkw, collected);
    }
    return 0;
}

int apply_checks(Function* fn, Args& args) {
    const Param* params = fn->def->params.data();
    for (uint32_t m = fn->int_checks; m; m &= m - 1) {
        int i = __builtin_ctz(m);
        if (convert_int(params[i], args, i) < 0) return -1;
    }
    for (uint32_t m = fn->str_checks; m; m &= m - 1) {
        int i = __builtin_ctz(m);
        if (!PyUnicode_CheckExact(args.v[i]) && check_str(params[i], args.v[i]) < 0) return -1;
    }
    return 0;
}

}  // namespace vk
