// The native runtime shared by the extension modules: Python-function semantics for C++
// bodies (function objects, argument binding, generators and coroutines), the module
// create/exec protocol, class building and traceback entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "ref.hpp"

namespace vk {

constexpr int kMaxParams = 16;

// ---------------------------------------------------------------- signatures

enum class Kind : uint8_t { PosOrKw, KwOnly, VarKw };

// Type rules applied after binding: ints are converted first, then strs tested, each in
// parameter order.
enum class Check : uint8_t { None, Str, StrOrNone, Int };

struct Default {
    enum Tag : uint8_t { Absent, NoneValue, Text, Integer } tag = Absent;
    const char* text = nullptr;
    long integer = 0;
};
constexpr Default no_default{};
constexpr Default none_default{Default::NoneValue};
constexpr Default str_default(const char* s) {
    return {Default::Text, s};
}
constexpr Default int_default(long v) {
    return {Default::Integer, nullptr, v};
}

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string, never evaluated
    Kind kind = Kind::PosOrKw;
    Check check = Check::None;
    Default dflt = no_default;
};

constexpr Param self_param{"self"};
constexpr Param cls_param{"cls"};

struct Function;
struct Coroutine;
struct Args;

enum class Body : uint8_t { Plain, Generator, Coroutine };

// What a generator or coroutine step asks of the runtime.
enum class Step : uint8_t { Yield, Await, Return };

using PlainImpl = PyObject* (*)(Function* fn, Args& args);
// `sent` is the value sent in, or NULL with an exception raised (thrown in, or failed await).
using StepImpl = PyObject* (*)(Coroutine* co, PyObject* sent, Step* step);

struct ModuleState;

// A function, declared with designated initializers next to its body:
//
//     const FuncDef save_def = {.name = "save_context", .params = save_params,
//                               .returns = "None", .impl = memory_save};
//
// Its __qualname__ comes from the class it is made for (make_function's `owner`).
struct FuncDef {
    const char* name;
    std::span<const Param> params;
    const char* returns = nullptr;  // return annotation
    Body body = Body::Plain;
    PlainImpl impl = nullptr;
    StepImpl step = nullptr;
    // Names of the body's own locals. co_varnames is params then these, and a generator or
    // coroutine keeps one slot per name in that same order (see slot_of).
    std::span<const char* const> locals = {};
    const char* doc = nullptr;
    int line = 1;
    // Traceback name of a generator/coroutine body: the bare name when true.
    bool body_tb_bare = false;
    // Whatever the body wants to find through co->fn->def (parlow: the operation).
    const void* data = nullptr;
};

namespace detail {
consteval bool same_name(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
}  // namespace detail

// Slot (and co_varnames index) of `name` among a body's parameters and locals; compiling fails
// when there is none, so slot numbers cannot drift from the tables.
consteval int slot_of(std::span<const Param> params, std::span<const char* const> locals,
                      const char* name) {
    for (size_t i = 0; i < params.size(); ++i)
        if (detail::same_name(params[i].name, name)) return static_cast<int>(i);
    for (size_t i = 0; i < locals.size(); ++i)
        if (detail::same_name(locals[i], name)) return static_cast<int>(params.size() + i);
    throw "no parameter or local of that name";
}

// ---------------------------------------------------------------- bound arguments

struct Args {
    PyObject* v[kMaxParams];  // in parameter order; borrowed from the call or owned below
    uint32_t owned = 0;       // bit i: v[i] is a reference this object owns
    // __defaults__ and __kwdefaults__ as the call found them, taken before any Python code
    // can run for it (a keyword's __hash__, an __index__) and held until it returns.
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;

    Args() = default;
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        for (uint32_t m = owned; m; m &= m - 1) Py_DECREF(v[__builtin_ctz(m)]);
        Py_XDECREF(defaults);
        Py_XDECREF(kwdefaults);
    }
    PyObject* operator[](int i) const { return v[i]; }
    // Sets v[i] to a new reference that this object then owns.
    void own(int i, PyObject* value) {
        if (owned & (1u << i)) Py_DECREF(v[i]);
        v[i] = value;
        owned |= 1u << i;
    }
};

// ---------------------------------------------------------------- objects

struct ModuleState {
    const char* name;        // dotted module name
    const char* short_name;  // as in the module definition
    const char* file;        // file named in traceback entries
    const char* doc;
    // Module body: imports, classes and functions. Runs once the constants exist.
    int (*body)(PyObject* module);

    PyObject* held = nullptr;  // module object of the successful execution
    int64_t interpreter = -1;
    PyModuleDef def{};
    PyModuleDef_Slot slots[3]{};
    PyMethodDef methods[1]{};
};

inline ModuleState* state_of(PyModuleDef* def) {
    return reinterpret_cast<ModuleState*>(reinterpret_cast<char*>(def) -
                                          offsetof(ModuleState, def));
}

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FuncDef* def;
    ModuleState* mod;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* code;
    PyObject* globals;
    PyObject* weakreflist;
    PyObject* type_params;
    PyObject* tb_name;  // "module.Qualname" of traceback entries, fixed at creation
    // Interned parameter names in order, and counts derived from the definition.
    PyObject* names[kMaxParams];
    int16_t npos, nkwonly, varkw;  // varkw: index, or -1
    int16_t nfull;                 // parameters when there is no **kwargs, else -1
    uint32_t int_checks;           // bit i: parameter i has the int rule
    uint32_t str_checks;           // bit i: parameter i has the str or str | None rule
    // The keyword-only defaults as last read from this __kwdefaults__ dict at this version:
    // kwcache[i] is parameter i's value, borrowed from the dict, or NULL. Not a reference:
    // versions are never reused, so a dict at the same address with the same version is the
    // same dict, unchanged.
    PyObject* kwcache_dict;
    uint64_t kwcache_version;
    PyObject* kwcache[kMaxParams];
};

struct Coroutine {
    PyObject_VAR_HEAD Function* fn;
    PyObject* name;
    PyObject* qualname;
    PyObject* awaiting;  // iterator being delegated to, as `await`/`yield from`
    PyObject* weakreflist;
    PyObject* frame;  // made when gi_frame/cr_frame is first read; NULL once finished
    _PyErr_StackItem exc_state;
    int16_t state;  // kCreated, kFinished, otherwise the body's resume point
    bool running;
    bool coroutine;
    PyObject* slots[1];  // co_varnames order: parameters, then the body's locals

    PyObject*& operator[](int i) { return slots[i]; }
};

constexpr int16_t kCreated = 0;
constexpr int16_t kFinished = -1;

// ---------------------------------------------------------------- the step protocol
//
// A generator or coroutine body is a StepImpl called once per resumption. resume_point(co) is
// kCreated on the first call, then whatever the previous step passed on. `sent` is the value
// sent in (or the awaited result), NULL with an exception raised when one is thrown in or the
// awaited object failed. A step ends with exactly one of the three below, or with NULL and an
// exception raised to end the body with that error. Bodies never touch co->state or *step.

inline int16_t resume_point(const Coroutine* co) {
    return co->state;
}
// `yield value`; the next step starts at `resume` (> 0). Takes over `value`; NULL passes on.
inline PyObject* step_yield(Coroutine* co, Step* step, int16_t resume, PyObject* value) {
    if (!value) return nullptr;
    co->state = resume;
    *step = Step::Yield;
    return value;
}
// `await awaitable`: the runtime drives it (delegating send/throw/close as `await` does) and
// calls the body at `resume` (> 0) with its result. Takes over `awaitable`; NULL passes on.
inline PyObject* step_await(Coroutine* co, Step* step, int16_t resume, PyObject* awaitable) {
    if (!awaitable) return nullptr;
    co->state = resume;
    *step = Step::Await;
    return awaitable;
}
// `return value`. Takes over `value`; NULL passes on.
inline PyObject* step_return(Step* step, PyObject* value) {
    if (!value) return nullptr;
    *step = Step::Return;
    return value;
}

extern PyTypeObject FunctionType;
extern PyTypeObject GeneratorType;
extern PyTypeObject CoroutineType;
extern PyTypeObject CoroutineWrapperType;

// ---------------------------------------------------------------- API for module bodies

// A function object for `def`, with defaults made from the definition; `owner` is the name
// of the class it is made for (its __qualname__ is then "Owner.name").
Ref make_function(const FuncDef& def, PyObject* module, const char* owner = nullptr);

// Sets a coroutine local slot, taking over `value`.
void set_slot(Coroutine* co, int i, Ref value);

// Inside a body, for the length of an `except` clause: `exc` is the handled exception, so
// sys.exception() shows it and exceptions raised meanwhile take it as their context.
class Handling {
  public:
    Handling(Coroutine* co, PyObject* exc) : co_(co), saved_(co->exc_state.exc_value) {
        co->exc_state.exc_value = Py_NewRef(exc);
    }
    ~Handling() { Py_XSETREF(co_->exc_state.exc_value, saved_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    Coroutine* co_;
    PyObject* saved_;
};

// Class built by calling `type(name, (), namespace)`; the namespace holds __module__,
// __qualname__, __doc__ (when given), then `entries` in order.
struct Entry {
    const char* name;
    PyObject* value;  // borrowed
};
Ref make_class(PyObject* module, const char* name, const char* doc,
               std::initializer_list<Entry> entries);

// `import name` / `from name import a, b`: `full` is the absolute module name looked up in
// sys.modules, `name` and `level` are handed to the import function. Binds into the module.
int import_module(PyObject* module, const char* full, const char* name, int level,
                  std::initializer_list<const char*> fromlist);

// Module-level name at call time: module globals, then builtins, else NameError.
Ref lookup_global(PyObject* globals, PyObject* name);
inline Ref lookup_global(Function* fn, PyObject* name) {
    return lookup_global(fn->globals, name);
}

// ---------------------------------------------------------------- constants
//
// Names, keyword-name tuples and numbers are declared as namespace-scope objects next to the
// code that uses them, e.g.
//
//     const vk::Str remember{"remember"};
//     const vk::KwNames kw_role_session{"role", "session_id"};
//
// Each registers itself when the extension is loaded; all are made at the module's first
// execution (interned: the interpreter's method cache keeps the name object it is asked with,
// so a fresh string per call would pile up there) and live for the process.
class Constant {
  public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    PyObject* get() const { return obj_; }
    operator PyObject*() const { return obj_; }

  protected:
    Constant() : next_(registered_) { registered_ = this; }
    ~Constant() = default;

  private:
    virtual PyObject* make() const = 0;
    mutable PyObject* obj_ = nullptr;  // made once, at the first module execution
    Constant* next_;
    static inline Constant* registered_ = nullptr;
    friend int make_constants();
};

// An interned str.
class Str final : public Constant {
  public:
    explicit Str(const char* text) : text_(text) {}

  private:
    PyObject* make() const override { return PyUnicode_InternFromString(text_); }
    const char* text_;
};

// A tuple of interned names, for the kwnames of a vectorcall.
PyObject* kwnames(std::span<const char* const> names);
template <size_t N>
class KwNames final : public Constant {
  public:
    template <class... T>
    explicit KwNames(T... names) : names_{names...} {}

  private:
    PyObject* make() const override { return kwnames(names_); }
    const char* names_[N];
};
template <class... T>
KwNames(T...) -> KwNames<sizeof...(T)>;

class Int final : public Constant {
  public:
    explicit Int(long value) : value_(value) {}

  private:
    PyObject* make() const override { return PyLong_FromLong(value_); }
    long value_;
};

class Float final : public Constant {
  public:
    explicit Float(double value) : value_(value) {}

  private:
    PyObject* make() const override { return PyFloat_FromDouble(value_); }
    double value_;
};

// Makes every registered constant not made yet.
int make_constants();

// obj.name(*args) with the trailing len(kwnames) args given by keyword.
template <size_t N>
inline Ref call_method(PyObject* name, PyObject* const (&args)[N], PyObject* kw = nullptr) {
    size_t nkw = kw ? static_cast<size_t>(PyTuple_GET_SIZE(kw)) : 0;
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject**>(args), N - nkw, kw));
}
template <size_t N>
inline Ref call(PyObject* callable, PyObject* const (&args)[N], PyObject* kw = nullptr) {
    size_t nkw = kw ? static_cast<size_t>(PyTuple_GET_SIZE(kw)) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args), N - nkw, kw));
}
// Where one call site last found `name` among the instance attributes of one type whose
// instances keep them inline (see attrs.cpp): valid for that type's shared keys only.
struct InlineSlot {
    const void* keys = nullptr;            // the type's shared keys, when its instances are inline
    const Py_ssize_t* nentries = nullptr;  // their entry count
    Py_ssize_t index = -1;                 // entry of `name` in them, once it is there
    Py_ssize_t absent_at = -1;             // their entry count when `name` was last found absent
};

// The head of CPython 3.13's PyDictValues, the inline attribute values that follow the object
// header; attrs.cpp checks it against the real layout.
struct InlineValues {
    uint8_t capacity, size, embedded, valid;
    PyObject* values[1];
};

namespace detail {
// The instance value that `slot` knows of, or NULL when it knows of none (absent: *absent).
// Only for an object of the type the slot was learnt for, with the version tag unchanged.
inline PyObject* known_inline_value(PyObject* obj, const InlineSlot& slot, bool* absent) {
    *absent = false;
    if (!slot.keys || reinterpret_cast<PyHeapTypeObject*>(Py_TYPE(obj))->ht_cached_keys !=
                          static_cast<const void*>(slot.keys))
        return nullptr;
    auto* values = reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
    if (!values->valid) return nullptr;
    if (slot.index >= 0) {
        if (slot.index >= values->capacity) return nullptr;
        *absent = values->values[slot.index] == nullptr;
        return values->values[slot.index];
    }
    *absent = *slot.nentries == slot.absent_at;
    return nullptr;
}
}  // namespace detail

// What one call site learnt about `obj.name(...)` on objects of one type: the function the
// type's lookup finds, when it is a method descriptor (a def, a native method) that binds as
// the interpreter's method call does. Valid while the type's version tag is unchanged.
struct MethodCache {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    PyObject* function = nullptr;  // borrowed from the type while its tag holds
    InlineSlot slot;
};
// The function to call with args[0] as self, or NULL when the call must take the ordinary
// path (an instance attribute of that name, another descriptor, a custom __getattribute__).
PyObject* learn_method(PyObject* self, PyObject* name, MethodCache& cache);
inline PyObject* cached_method(PyObject* self, PyObject* name, MethodCache& cache) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == cache.type && type->tp_version_tag == cache.tag) {
        bool absent;
        detail::known_inline_value(self, cache.slot, &absent);
        if (absent) return cache.function;
    }
    return learn_method(self, name, cache);
}

template <size_t N>
inline Ref call_method(PyObject* name, PyObject* const (&args)[N], PyObject* kw,
                       MethodCache& cache) {
    size_t nkw = kw ? static_cast<size_t>(PyTuple_GET_SIZE(kw)) : 0;
    if (PyObject* fn = cached_method(args[0], name, cache)) {
        Ref held = Ref::borrow(fn);  // the call may change the type
        // A Python function's own vectorcall, as PyObject_Vectorcall would call it, less the
        // result check that only catches C callables returning NULL without an error.
        if (PyFunction_Check(fn))
            return Ref::steal(
                PyVectorcall_Function(fn)(fn, const_cast<PyObject**>(args), N - nkw, kw));
        return Ref::steal(PyObject_Vectorcall(fn, const_cast<PyObject**>(args), N - nkw, kw));
    }
    return Ref::steal(PyObject_VectorcallMethod(name, const_cast<PyObject**>(args), N - nkw, kw));
}

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// What one call site learnt about reading `name` from objects of one type, valid while the
// type's version tag is unchanged (any change to the type or a base gives it a new tag).
struct AttrCache {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    PyObject* class_value = nullptr;  // a plain class attribute (no __get__), borrowed
    PyMemberDef* member = nullptr;    // a __slots__ member
    InlineSlot slot;
};
// obj.name with the generic lookup's result, reading the instance's inline values, its
// __dict__ or the slot directly when the type (generic __getattribute__) has no descriptor in
// the way; anything else takes the ordinary path. Declare the cache `static` at the call site.
Ref learn_attr(PyObject* obj, PyObject* name, AttrCache& cache);
inline Ref getattr(PyObject* obj, PyObject* name, AttrCache& cache) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == cache.type && type->tp_version_tag == cache.tag) {
        bool absent;
        if (PyObject* value = detail::known_inline_value(obj, cache.slot, &absent))
            return Ref::borrow(value);
        if (absent && cache.class_value) return Ref::borrow(cache.class_value);
    }
    return learn_attr(obj, name, cache);
}

// Text of a value: an exact str as it is, anything else through str().
Ref as_text(PyObject* value);
// Integer of a value: an exact int as it is, anything else through int().
Ref as_int(PyObject* value);
// Exact dict or None passes through; anything else is released and TypeError raised.
PyObject* expect_dict_or_none(Ref result);

// Traceback entry for a frame named `funcname` in `file`.
void add_traceback(const char* funcname, int line, const char* file, PyObject* globals);

// Module protocol: fills `state.def` and returns what PyInit_* hands back.
PyObject* module_init(ModuleState& state);

}  // namespace vk
