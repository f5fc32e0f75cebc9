// Generator and coroutine objects for C++ bodies written as resumable steps. They follow
// CPython's generator protocol: send/throw/close, `await` delegation, the handled-exception
// stack, StopIteration replacement and the never-awaited warning.
#include <cstddef>

#include "internal.hpp"

#include <frameobject.h>

namespace vk {

namespace {

const char* kind_name(Coroutine* co) {
    return co->coroutine ? "coroutine" : "generator";
}

const Str close_name{"close"};
const Str throw_name{"throw"};

void finish(Coroutine* co) {
    co->state = kFinished;
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->frame);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i) Py_CLEAR(co->slots[i]);
}

void body_failed(Coroutine* co) {
    finish(co);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "%s raised StopIteration", kind_name(co));
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    add_function_traceback(co->fn, co->fn->def->body_tb_bare);
}

// StopIteration's value as a new reference, clearing the error; NULL if another error.
PyObject* fetch_stop_value() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(exc.get())->value;
    return Py_NewRef(value ? value : Py_None);
}

// Suspended in an `await` of its own: awaiting it again is refused, as the interpreter does.
bool awaited_already(Coroutine* co) {
    if (!co->awaiting || co->running) return false;
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return true;
}

PyObject* awaitable_iter(PyObject* o) {
    if (Py_IS_TYPE(o, &CoroutineType))
        return awaited_already(reinterpret_cast<Coroutine*>(o)) ? nullptr : Py_NewRef(o);
    if (PyCoro_CheckExact(o)) return Py_NewRef(o);
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (it && (PyCoro_CheckExact(it) || !PyIter_Check(it))) {
        PyErr_Format(PyExc_TypeError, "__await__() returned %s",
                     PyCoro_CheckExact(it) ? "a coroutine" : "non-iterator");
        Py_SETREF(it, nullptr);
    }
    return it;
}

int close_iter(PyObject* it) {
    Ref meth;
    {
        PyObject* m = nullptr;
        if (PyObject_GetOptionalAttr(it, close_name, &m) < 0) PyErr_WriteUnraisable(it);
        meth = Ref::steal(m);
    }
    if (!meth) return 0;
    Ref r = Ref::steal(PyObject_CallNoArgs(meth.get()));
    return r ? 0 : -1;
}

PySendResult step_body(Coroutine* co, Ref sent, PyObject** result);

// The awaited iterator finished (value, or NULL with an error raised): resume the body.
PySendResult after_delegate(Coroutine* co, PySendResult r, PyObject* out, PyObject** result) {
    if (r == PYGEN_NEXT) {
        *result = out;
        return PYGEN_NEXT;
    }
    Py_CLEAR(co->awaiting);
    return step_body(co, Ref::steal(r == PYGEN_RETURN ? out : nullptr), result);
}

PySendResult send_delegate(Coroutine* co, PyObject* arg, PyObject** result) {
    Ref it = Ref::borrow(co->awaiting);  // a re-entrant close may drop co->awaiting
    PyObject* out = nullptr;
    PySendResult r = PyIter_Send(it.get(), arg, &out);
    return after_delegate(co, r, out, result);
}

PySendResult throw_delegate(Coroutine* co, PyObject** result) {
    Ref it = Ref::borrow(co->awaiting);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        Py_CLEAR(co->awaiting);
        if (close_iter(it.get()) == 0) PyErr_SetRaisedException(exc.release());
        return step_body(co, Ref(), result);
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it.get(), throw_name, &meth) < 0) {
        Py_CLEAR(co->awaiting);
        return step_body(co, Ref(), result);
    }
    if (!meth) {
        Py_CLEAR(co->awaiting);
        PyErr_SetRaisedException(exc.release());
        return step_body(co, Ref(), result);
    }
    PyObject* out = PyObject_CallOneArg(meth, exc.get());
    Py_DECREF(meth);
    if (out) return after_delegate(co, PYGEN_NEXT, out, result);
    PyObject* value = fetch_stop_value();
    return after_delegate(co, value ? PYGEN_RETURN : PYGEN_ERROR, value, result);
}

PySendResult step_body(Coroutine* co, Ref sent, PyObject** result) {
    for (;;) {
        Step step = Step::Return;
        PyObject* value = co->fn->def->step(co, sent.get(), &step);
        sent.reset();
        if (!value) {
            body_failed(co);
            return PYGEN_ERROR;
        }
        if (step == Step::Yield) {
            *result = value;
            return PYGEN_NEXT;
        }
        if (step == Step::Return) {
            finish(co);
            *result = value;
            return PYGEN_RETURN;
        }
        Ref awaitable = Ref::steal(value);
        co->awaiting = awaitable_iter(awaitable.get());
        if (!co->awaiting) continue;  // the error goes back into the body
        Ref it = Ref::borrow(co->awaiting);
        PyObject* out = nullptr;
        PySendResult r = PyIter_Send(it.get(), Py_None, &out);
        if (r == PYGEN_NEXT) {
            *result = out;
            return PYGEN_NEXT;
        }
        Py_CLEAR(co->awaiting);
        sent = Ref::steal(r == PYGEN_RETURN ? out : nullptr);
    }
}

// One resumption: `thrown` means the raised exception is thrown in instead of sending `arg`.
PySendResult send_ex(Coroutine* co, PyObject* arg, bool thrown, bool closing, PyObject** result) {
    *result = nullptr;
    if (co->running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(co));
        return PYGEN_ERROR;
    }
    if (co->state == kFinished) {
        if (co->coroutine && !closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (!thrown) {
            *result = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        return PYGEN_ERROR;
    }
    if (co->state == kCreated) {
        if (thrown) {
            finish(co);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            // A generator refused this way is done; a coroutine stays unstarted, as CPython's.
            if (!co->coroutine) finish(co);
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s",
                         kind_name(co));
            return PYGEN_ERROR;
        }
    }
    Ref self = Ref::borrow(reinterpret_cast<PyObject*>(co));
    PyThreadState* ts = PyThreadState_Get();
    co->exc_state.previous_item = ts->exc_info;
    ts->exc_info = &co->exc_state;
    co->running = true;
    PySendResult r;
    if (co->awaiting)
        r = thrown ? throw_delegate(co, result) : send_delegate(co, arg, result);
    else
        r = step_body(co, thrown ? Ref() : Ref::borrow(arg), result);
    co->running = false;
    ts->exc_info = co->exc_state.previous_item;
    co->exc_state.previous_item = nullptr;
    return r;
}

PyObject* finish_call(PySendResult r, PyObject* result, bool stop_on_none) {
    if (r == PYGEN_NEXT) return result;
    if (r == PYGEN_RETURN) {
        if (result == Py_None && stop_on_none) {
            Py_DECREF(result);
            PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        }
        if (result == Py_None) {  // tp_iternext may end without an exception
            Py_DECREF(result);
            return nullptr;
        }
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
        Py_DECREF(result);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
        return nullptr;
    }
    return nullptr;
}

int set_thrown(PyObject* const* args, Py_ssize_t nargs) {
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return -1;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return -1;
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject* t = Py_NewRef(typ);
        PyObject* v = Py_XNewRef(val);
        PyObject* b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (!PyExceptionInstance_Check(v)) {
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(b);
            return -1;
        }
        if (b) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        PyErr_SetRaisedException(v);
        return 0;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return -1;
        }
        if (tb) PyException_SetTraceback(typ, tb);
        PyErr_SetRaisedException(Py_NewRef(typ));
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return -1;
}

// ---- methods shared by both kinds

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult r = send_ex(reinterpret_cast<Coroutine*>(self), arg, false, false, &result);
    return finish_call(r, result, true);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result;
    PySendResult r = send_ex(reinterpret_cast<Coroutine*>(self), Py_None, false, false, &result);
    return finish_call(r, result, false);
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return send_ex(reinterpret_cast<Coroutine*>(self), arg, false, false, result);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (set_thrown(args, nargs) < 0) return nullptr;
    PyObject* result;
    PySendResult r = send_ex(reinterpret_cast<Coroutine*>(self), Py_None, true, false, &result);
    return finish_call(r, result, true);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    if (co->state == kFinished) Py_RETURN_NONE;
    if (co->state == kCreated && !co->running) {
        finish(co);
        Py_RETURN_NONE;
    }
    if (co->running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(co));
        return nullptr;
    }
    int err = 0;
    if (co->awaiting) {
        Ref it = Ref::borrow(co->awaiting);
        Py_CLEAR(co->awaiting);
        co->running = true;
        err = close_iter(it.get());
        co->running = false;
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result;
    PySendResult r = send_ex(co, Py_None, true, true, &result);
    if (r == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(co));
        return nullptr;
    }
    if (r == PYGEN_RETURN) return result;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void coro_finalize(PyObject* self) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    if (co->state == kFinished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->coroutine && co->state == kCreated) {
        finish(co);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                             co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = coro_close(self, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    Py_VISIT(co->fn);
    Py_VISIT(co->awaiting);
    Py_VISIT(co->frame);
    Py_VISIT(co->exc_state.exc_value);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i) Py_VISIT(co->slots[i]);
    return 0;
}

int coro_clear(PyObject* self) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->frame);
    Py_CLEAR(co->exc_state.exc_value);
    // A finished body's slots were cleared by finish() and nothing sets them again.
    if (co->state != kFinished)
        for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i) Py_CLEAR(co->slots[i]);
    return 0;
}

void coro_dealloc(PyObject* self) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    PyObject_GC_UnTrack(self);
    if (co->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self)) return;  // resurrected
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    Py_CLEAR(co->fn);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    PyObject_GC_Del(self);
}

PyObject* coro_repr(PyObject* self) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    return PyUnicode_FromFormat("<%s object %U at %p>", kind_name(co), co->qualname, self);
}

// ---- attributes

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Coroutine*>(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(reinterpret_cast<Coroutine*>(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Coroutine*>(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(reinterpret_cast<Coroutine*>(self)->qualname, Py_NewRef(value));
    return 0;
}
PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Coroutine*>(self)->running);
}
PyObject* get_suspended(PyObject* self, void*) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    return PyBool_FromLong(co->state > 0 && !co->running);
}
PyObject* get_awaiting(PyObject* self, void*) {
    PyObject* a = reinterpret_cast<Coroutine*>(self)->awaiting;
    return Py_NewRef(a ? a : Py_None);
}
PyObject* get_code(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Coroutine*>(self)->fn->code);
}
PyObject* get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}
// A frame of the body's code until it finishes, None after: inspect's CREATED / CLOSED test.
PyObject* get_frame(PyObject* self, void*) {
    auto* co = reinterpret_cast<Coroutine*>(self);
    if (co->state == kFinished) Py_RETURN_NONE;
    if (!co->frame) {
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(co->fn->code),
                        co->fn->globals, nullptr);
        if (!frame) return nullptr;
        co->frame = reinterpret_cast<PyObject*>(frame);
    }
    return Py_NewRef(co->frame);
}

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_awaiting, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the iterator that `__await__` returns

struct Wrapper {
    PyObject_HEAD PyObject* co;
};

PyObject* coro_await(PyObject* self, PyObject* = nullptr) {
    Wrapper* w = PyObject_GC_New(Wrapper, &CoroutineWrapperType);
    if (!w) return nullptr;
    w->co = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

// The `await` expression's entry (am_await); calling __await__() itself checks nothing.
PyObject* coro_am_await(PyObject* self) {
    if (awaited_already(reinterpret_cast<Coroutine*>(self))) return nullptr;
    return coro_await(self);
}

PyMethodDef coroutine_methods[] = {
    {"send", coro_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {"__await__", coro_await, METH_NOARGS | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* wrapper_co(PyObject* self) {
    return reinterpret_cast<Wrapper*>(self)->co;
}
PyObject* w_send(PyObject* self, PyObject* arg) {
    return coro_send(wrapper_co(self), arg);
}
PyObject* w_iternext(PyObject* self) {
    return coro_iternext(wrapper_co(self));
}
PySendResult w_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return coro_am_send(wrapper_co(self), arg, result);
}
PyObject* w_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(wrapper_co(self), args, nargs);
}
PyObject* w_close(PyObject* self, PyObject*) {
    return coro_close(wrapper_co(self), nullptr);
}
int w_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Wrapper*>(self)->co);
    return 0;
}
void w_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Wrapper*>(self)->co);
    PyObject_GC_Del(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", w_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(w_throw)), METH_FASTCALL,
     nullptr},
    {"close", w_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods generator_async = {nullptr, nullptr, nullptr, coro_am_send};
PyAsyncMethods coroutine_async = {coro_am_await, nullptr, nullptr, coro_am_send};
PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, w_am_send};

}  // namespace

PyTypeObject GeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "velkor_native.generator",
    .tp_basicsize = offsetof(Coroutine, slots),
    .tp_itemsize = sizeof(PyObject*),
    .tp_dealloc = coro_dealloc,
    .tp_as_async = &generator_async,
    .tp_repr = coro_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_weaklistoffset = offsetof(Coroutine, weakreflist),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = coro_iternext,
    .tp_methods = coro_methods,
    .tp_getset = generator_getset,
    .tp_finalize = coro_finalize,
};

PyTypeObject CoroutineType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "velkor_native.coroutine",
    .tp_basicsize = offsetof(Coroutine, slots),
    .tp_itemsize = sizeof(PyObject*),
    .tp_dealloc = coro_dealloc,
    .tp_as_async = &coroutine_async,
    .tp_repr = coro_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_weaklistoffset = offsetof(Coroutine, weakreflist),
    .tp_methods = coroutine_methods,
    .tp_getset = coroutine_getset,
    .tp_finalize = coro_finalize,
};

PyTypeObject CoroutineWrapperType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "velkor_native.coroutine_wrapper",
    .tp_basicsize = sizeof(Wrapper),
    .tp_dealloc = w_dealloc,
    .tp_as_async = &wrapper_async,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = w_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = w_iternext,
    .tp_methods = wrapper_methods,
};

PyObject* coroutine_new(Function* fn, Args& args) {
    const FuncDef& def = *fn->def;
    Py_ssize_t nparams = static_cast<Py_ssize_t>(def.params.size());
    Py_ssize_t nslots = nparams + static_cast<Py_ssize_t>(def.locals.size());
    bool is_coro = def.body == Body::Coroutine;
    Coroutine* co =
        PyObject_GC_NewVar(Coroutine, is_coro ? &CoroutineType : &GeneratorType, nslots);
    if (!co) return nullptr;
    co->fn = reinterpret_cast<Function*>(Py_NewRef(fn));
    co->name = Py_NewRef(fn->name);
    co->qualname = Py_NewRef(fn->qualname);
    co->awaiting = nullptr;
    co->weakreflist = nullptr;
    co->frame = nullptr;
    co->exc_state.exc_value = nullptr;
    co->exc_state.previous_item = nullptr;
    co->state = kCreated;
    co->running = false;
    co->coroutine = is_coro;
    for (Py_ssize_t i = 0; i < nslots; ++i)
        co->slots[i] = i < nparams ? Py_NewRef(args.v[i]) : nullptr;
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
}

void set_slot(Coroutine* co, int i, Ref value) {
    Py_XSETREF(co->slots[i], value.release());
}

}  // namespace vk
