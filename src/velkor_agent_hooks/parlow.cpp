// velkor_agent_hooks.parlow: the awaitable facade over the synchronous client. Each operation
// tests its arguments at the call, snapshots caller-owned mappings on the loop thread and runs
// the synchronous method through asyncio.to_thread.
#include <span>

#include "runtime.hpp"

using vk::Args;
using vk::call;
using vk::Check;
using vk::Coroutine;
using vk::FuncDef;
using vk::Function;
using vk::getattr;
using vk::Kind;
using vk::Param;
using vk::Ref;
using vk::Step;

namespace {

namespace k {
const vk::Str asyncio{"asyncio"}, to_thread{"to_thread"}, partial{"partial"}, sync{"sync"},
    VelkorClient{"VelkorClient"}, from_env{"from_env"};
}  // namespace k

// ---------------------------------------------------------------- construction

PyObject* client_init(Function* fn, Args& a) {
    PyObject *self = a[0], *client = a[1], *client_kwargs = a[2];
    if (client != Py_None && PyDict_GET_SIZE(client_kwargs) > 0) {
        PyErr_SetString(PyExc_ValueError, "pass a client or client keyword arguments, not both");
        return nullptr;
    }
    int truth = PyObject_IsTrue(client);
    if (truth < 0) return nullptr;
    Ref sync;
    if (truth) {
        sync = Ref::borrow(client);
    } else {
        Ref factory = vk::lookup_global(fn, k::VelkorClient);
        if (!factory) return nullptr;
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) return nullptr;
        sync = Ref::steal(PyObject_Call(factory.get(), no_args.get(), client_kwargs));
        if (!sync) return nullptr;
    }
    if (PyObject_SetAttr(self, k::sync, sync.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* client_from_env(Function* fn, Args& a) {
    PyObject *cls = a[0], *overrides = a[1];
    Ref factory = vk::lookup_global(fn, k::VelkorClient);
    if (!factory) return nullptr;
    Ref from_env = getattr(factory.get(), k::from_env);
    if (!from_env) return nullptr;
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref sync = Ref::steal(PyObject_Call(from_env.get(), no_args.get(), overrides));
    if (!sync) return nullptr;
    return PyObject_CallOneArg(cls, sync.get());
}

const Param init_params[] = {
    vk::self_param,
    {"client", "VelkorClient | None", Kind::PosOrKw, Check::None, vk::none_default},
    {"client_kwargs", "Any", Kind::VarKw},
};
const Param from_env_params[] = {vk::cls_param, {"overrides", "Any", Kind::VarKw}};

const FuncDef init_def = {
    .name = "__init__", .params = init_params, .returns = "None", .impl = client_init};
const FuncDef from_env_def = {.name = "from_env",
                              .params = from_env_params,
                              .returns = "AsyncVelkorClient",
                              .impl = client_from_env};

// ---------------------------------------------------------------- operations
//
// Every operation is the same coroutine body with its own parameter table:
//
//     async def gate(self, tool_name, *, agent_id="", ..., tool_input=None, ...):
//         tool_input_snapshot = dict(tool_input) if tool_input is not None else None
//         return await asyncio.to_thread(
//             partial(self.sync.gate, tool_name, agent_id=agent_id, ...,
//                     tool_input=tool_input_snapshot, ...))
//
// The client method has the operation's name; positional-or-keyword parameters are passed by
// position, keyword-only ones by keyword, all in table order; at most one parameter is copied
// on the loop thread first and the copy passed in its place. An operation with no parameter
// besides self hands the bound method itself to to_thread.

// dict(value)
Ref snapshot_turn(PyObject* value) {
    if (PyDict_CheckExact(value)) return Ref::steal(PyDict_Copy(value));
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value));
}

// dict(value), or None for None.
Ref snapshot_mapping(PyObject* value) {
    return value == Py_None ? Ref::borrow(Py_None) : snapshot_turn(value);
}

// [dict(turn) for turn in turns]; lists and tuples are walked by index.
Ref snapshot_turns(PyObject* turns) {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return result;
    if (PyList_Check(turns) || PyTuple_Check(turns)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(turns); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(turns, i));
            Ref copy = snapshot_turn(item.get());
            if (!copy || PyList_Append(result.get(), copy.get()) < 0) return Ref();
        }
        return result;
    }
    Ref it = Ref::steal(PyObject_GetIter(turns));
    if (!it) return it;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref copy = snapshot_turn(item.get());
        if (!copy || PyList_Append(result.get(), copy.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(result);
}

// The keyword names of the forwarded call: the keyword-only parameters, in order.
class KeywordsOf final : public vk::Constant {
  public:
    explicit KeywordsOf(std::span<const Param> params) : params_(params) {}

  private:
    PyObject* make() const override {
        const char* names[vk::kMaxParams];
        size_t n = 0;
        for (const Param& p : params_)
            if (p.kind == Kind::KwOnly) names[n++] = p.name;
        return vk::kwnames({names, n});
    }
    std::span<const Param> params_;
};

struct Operation {
    struct Options {
        int copied = -1;                      // parameter copied on the loop thread, or -1
        Ref (*copy)(PyObject*) = nullptr;     // how; the copy lives in the first local slot
        std::span<const char* const> locals;  // {"<parameter>_snapshot"} when one is copied
        bool dict_result = false;             // the result must be exactly a dict or None
    };
    Operation(const char* name, std::span<const Param> params, Options options)
        : name(name), params(params), method(name), keywords(params), options(options) {}

    const char* name;
    std::span<const Param> params;
    vk::Str method;       // the client method has the operation's name
    KeywordsOf keywords;  // made from `params` at module execution
    Options options;
};

constexpr int16_t kWorkerDone = 1;  // resume point: to_thread's awaitable finished

// asyncio.to_thread, looked up now.
Ref to_thread_of(Coroutine* co) {
    Ref asyncio = vk::lookup_global(co->fn, k::asyncio);
    return asyncio ? getattr(asyncio.get(), k::to_thread) : Ref();
}

// self.sync.<method>, read now.
Ref sync_method(Coroutine* co, PyObject* method) {
    Ref sync = getattr((*co)[0], k::sync);
    return sync ? getattr(sync.get(), method) : Ref();
}

// First step: snapshot, then `await to_thread(partial(self.sync.<method>, ...))`, the names
// looked up in that order.
PyObject* forward_call(Coroutine* co, const Operation& op, Step* step) {
    auto& s = *co;
    const int nparams = static_cast<int>(op.params.size());
    const int copied = op.options.copied;
    const int copy_slot = nparams;  // the first local
    if (copied >= 0) {
        Ref copy = op.options.copy(s[copied]);
        if (!copy) return nullptr;
        vk::set_slot(co, copy_slot, std::move(copy));
    }
    Ref to_thread = to_thread_of(co);
    if (!to_thread) return nullptr;
    Ref job;
    if (nparams == 1) {
        job = sync_method(co, op.method);
    } else {
        Ref partial = vk::lookup_global(co->fn, k::partial);
        if (!partial) return nullptr;
        Ref bound = sync_method(co, op.method);
        if (!bound) return nullptr;
        PyObject* argv[vk::kMaxParams] = {bound.get()};
        for (int i = 1; i < nparams; ++i) argv[i] = s[i == copied ? copy_slot : i];
        PyObject* kwnames = op.keywords;
        size_t npos = static_cast<size_t>(nparams - PyTuple_GET_SIZE(kwnames));
        job = Ref::steal(PyObject_Vectorcall(partial.get(), argv, npos, kwnames));
    }
    if (!job) return nullptr;
    PyObject* args[] = {job.get()};
    return vk::step_await(co, step, kWorkerDone, call(to_thread.get(), args).release());
}

PyObject* operation_step(Coroutine* co, PyObject* sent, Step* step) {
    const auto& op = *static_cast<const Operation*>(co->fn->def->data);
    if (vk::resume_point(co) == vk::kCreated) return forward_call(co, op, step);
    if (!sent) return nullptr;  // the worker's exception
    return vk::step_return(step, op.options.dict_result ? vk::expect_dict_or_none(Ref::borrow(sent))
                                                        : Py_NewRef(sent));
}

constexpr Param kw_str(const char* name, const char* dflt) {
    return {name, "str", Kind::KwOnly, Check::Str, vk::str_default(dflt)};
}
constexpr Param kw_optional_str(const char* name) {
    return {name, "str | None", Kind::KwOnly, Check::StrOrNone, vk::none_default};
}

constexpr Param remember_params[] = {
    vk::self_param,         {"text", "str", Kind::PosOrKw, Check::Str},
    kw_str("role", "user"), kw_str("session_id", "sdk"),
    kw_str("user_id", ""),  kw_str("timestamp", ""),
};
constexpr Param context_params[] = {
    vk::self_param,
    {"query", "str", Kind::PosOrKw, Check::Str},
    {"max_tokens", "int", Kind::KwOnly, Check::Int, vk::int_default(7000)},
};
constexpr Param remember_turns_params[] = {
    vk::self_param,
    {"turns", "Sequence[Mapping[str, Any]]"},
    kw_str("session_id", "sdk"),
    kw_str("user_id", ""),
    kw_str("timestamp", ""),
};
constexpr Param gate_params[] = {
    vk::self_param,
    {"tool_name", "str", Kind::PosOrKw, Check::Str},
    kw_str("agent_id", ""),
    kw_str("session_id", ""),
    {"tool_input", "Mapping[str, Any] | None", Kind::KwOnly, Check::None, vk::none_default},
    kw_str("system_id", ""),
    kw_str("actor", ""),
    kw_str("action", ""),
    kw_optional_str("purpose"),
    kw_optional_str("capability"),
    kw_optional_str("resource"),
    kw_optional_str("approval_id"),
    kw_str("trace_id", ""),
};
constexpr Param observe_params[] = {
    vk::self_param,
    {"tool_name", "str", Kind::KwOnly, Check::Str},
    kw_str("agent_id", ""),
    kw_str("session_id", ""),
    kw_str("outcome_status", "SUCCESS"),
    {"fields", "Mapping[str, Any] | None", Kind::KwOnly, Check::None, vk::none_default},
    kw_str("system_id", ""),
    kw_str("actor", ""),
    kw_optional_str("purpose"),
    kw_optional_str("capability"),
    kw_optional_str("resource"),
    kw_str("trace_id", ""),
};
constexpr Param doctor_params[] = {vk::self_param};

constexpr const char* turns_locals[] = {"turns_snapshot"};
constexpr const char* tool_input_locals[] = {"tool_input_snapshot"};
constexpr const char* fields_locals[] = {"fields_snapshot"};

const Operation remember_op{"remember", remember_params, {.dict_result = true}};
const Operation context_op{"context", context_params, {}};
const Operation remember_turns_op{"remember_turns",
                                  remember_turns_params,
                                  {.copied = vk::slot_of(remember_turns_params, {}, "turns"),
                                   .copy = snapshot_turns,
                                   .locals = turns_locals,
                                   .dict_result = true}};
const Operation gate_op{"gate",
                        gate_params,
                        {.copied = vk::slot_of(gate_params, {}, "tool_input"),
                         .copy = snapshot_mapping,
                         .locals = tool_input_locals}};
const Operation observe_op{"observe",
                           observe_params,
                           {.copied = vk::slot_of(observe_params, {}, "fields"),
                            .copy = snapshot_mapping,
                            .locals = fields_locals,
                            .dict_result = true}};
const Operation doctor_op{"doctor", doctor_params, {.dict_result = true}};

FuncDef operation(const Operation& op, const char* returns) {
    return {.name = op.name,
            .params = op.params,
            .returns = returns,
            .body = vk::Body::Coroutine,
            .step = operation_step,
            .locals = op.options.locals,
            .body_tb_bare = true,
            .data = &op};
}

const FuncDef remember_def = operation(remember_op, "dict[str, Any]");
const FuncDef context_def = operation(context_op, "ContextResult");
const FuncDef remember_turns_def = operation(remember_turns_op, "dict[str, Any]");
const FuncDef gate_def = operation(gate_op, "GateDecision");
const FuncDef observe_def = operation(observe_op, "dict[str, Any]");
const FuncDef doctor_def = operation(doctor_op, "dict[str, Any]");

// ---------------------------------------------------------------- module body

Ref async_velkor_client(PyObject* m) {
    const char* cls = "AsyncVelkorClient";
    Ref init = vk::make_function(init_def, m, cls);
    Ref from_env_fn = vk::make_function(from_env_def, m, cls);
    Ref from_env = from_env_fn ? Ref::steal(PyClassMethod_New(from_env_fn.get())) : Ref();
    Ref remember = vk::make_function(remember_def, m, cls);
    Ref context = vk::make_function(context_def, m, cls);
    Ref remember_turns = vk::make_function(remember_turns_def, m, cls);
    Ref gate = vk::make_function(gate_def, m, cls);
    Ref observe = vk::make_function(observe_def, m, cls);
    Ref doctor = vk::make_function(doctor_def, m, cls);
    if (!init || !from_env || !remember || !context || !remember_turns || !gate || !observe ||
        !doctor)
        return Ref();
    return vk::make_class(m, cls, "Awaitable counterpart to :class:`VelkorClient`.",
                          {{"__init__", init.get()},
                           {"from_env", from_env.get()},
                           {"remember", remember.get()},
                           {"context", context.get()},
                           {"remember_turns", remember_turns.get()},
                           {"gate", gate.get()},
                           {"observe", observe.get()},
                           {"doctor", doctor.get()}});
}

int module_body(PyObject* m) {
    if (vk::import_module(m, "asyncio", "asyncio", 0, {}) < 0 ||
        vk::import_module(m, "collections.abc", "collections.abc", 0, {"Mapping", "Sequence"}) <
            0 ||
        vk::import_module(m, "functools", "functools", 0, {"partial"}) < 0 ||
        vk::import_module(m, "typing", "typing", 0, {"Any"}) < 0 ||
        vk::import_module(m, "velkor_agent_hooks.client", "client", 1,
                          {"ContextResult", "GateDecision", "VelkorClient"}) < 0)
        return -1;
    Ref cls = async_velkor_client(m);
    return cls ? PyModule_AddObjectRef(m, "AsyncVelkorClient", cls.get()) : -1;
}

vk::ModuleState state = {
    .name = "velkor_agent_hooks.parlow",
    .short_name = "parlow",
    .file = "src/velkor_agent_hooks/parlow",
    .doc =
        "Async facade for the dependency-free Velkor HTTP client.\n\n"
        "The wire implementation remains in :mod:`velkor_agent_hooks.client` so sync\n"
        "and async callers use the same validation and error semantics. Network calls run\n"
        "in worker threads, which avoids adding an HTTP dependency to the base wheel.\n",
    .body = module_body,
};

}  // namespace

PyMODINIT_FUNC PyInit_parlow() {
    return vk::module_init(state);
}
