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
PyObject *asyncio, *to_thread, *partial, *sync, *VelkorClient, *from_env, *remember, *context,
    *remember_turns, *gate, *observe, *doctor;
PyObject *kw_remember, *kw_context, *kw_remember_turns, *kw_gate, *kw_observe;
}  // namespace k

const vk::Constant constant_table[] = {
    {&k::asyncio, "asyncio"},
    {&k::to_thread, "to_thread"},
    {&k::partial, "partial"},
    {&k::sync, "sync"},
    {&k::VelkorClient, "VelkorClient"},
    {&k::from_env, "from_env"},
    {&k::remember, "remember"},
    {&k::context, "context"},
    {&k::remember_turns, "remember_turns"},
    {&k::gate, "gate"},
    {&k::observe, "observe"},
    {&k::doctor, "doctor"},
};

int make_constants() {
    if (vk::make_constants(constant_table) < 0) return -1;
    k::kw_remember = vk::kwnames({"role", "session_id", "user_id", "timestamp"});
    k::kw_context = vk::kwnames({"max_tokens"});
    k::kw_remember_turns = vk::kwnames({"session_id", "user_id", "timestamp"});
    k::kw_gate =
        vk::kwnames({"agent_id", "session_id", "tool_input", "system_id", "actor", "action",
                     "purpose", "capability", "resource", "approval_id", "trace_id"});
    k::kw_observe =
        vk::kwnames({"tool_name", "agent_id", "session_id", "outcome_status", "fields", "system_id",
                     "actor", "purpose", "capability", "resource", "trace_id"});
    for (PyObject* o :
         {k::kw_remember, k::kw_context, k::kw_remember_turns, k::kw_gate, k::kw_observe})
        if (!o) return -1;
    return 0;
}

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
    "__init__", "AsyncVelkorClient.__init__", init_params, "None", vk::Body::Plain, client_init};
const FuncDef from_env_def = {"from_env",      "AsyncVelkorClient.from_env",
                              from_env_params, "AsyncVelkorClient",
                              vk::Body::Plain, client_from_env};

// ---------------------------------------------------------------- shared steps

constexpr int16_t kAwaitingWorker = 1;

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

// Suspends the coroutine on to_thread(job) until the worker is done.
PyObject* await_worker(Coroutine* co, PyObject* to_thread, PyObject* job, Step* step) {
    PyObject* args[] = {job};
    Ref awaitable = call(to_thread, args);
    if (!awaitable) return nullptr;
    co->state = kAwaitingWorker;
    *step = Step::Await;
    return awaitable.release();
}

// await asyncio.to_thread(partial(self.sync.<method>, *args, **kw)), the trailing
// len(kwnames) args given by keyword. Names are looked up in the order the steps are listed.
PyObject* run_in_thread(Coroutine* co, PyObject* method, std::span<PyObject* const> args,
                        PyObject* kwnames, Step* step) {
    Ref to_thread = to_thread_of(co);
    if (!to_thread) return nullptr;
    Ref partial = vk::lookup_global(co->fn, k::partial);
    if (!partial) return nullptr;
    Ref bound = sync_method(co, method);
    if (!bound) return nullptr;
    PyObject* argv[vk::kMaxParams + 1] = {bound.get()};
    for (size_t i = 0; i < args.size(); ++i) argv[i + 1] = args[i];
    size_t npos = 1 + args.size() - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    Ref job = Ref::steal(PyObject_Vectorcall(partial.get(), argv, npos, kwnames));
    return job ? await_worker(co, to_thread.get(), job.get(), step) : nullptr;
}

// The worker's result, unchanged.
PyObject* worker_result(PyObject* sent, Step* step) {
    if (!sent) return nullptr;
    *step = Step::Return;
    return Py_NewRef(sent);
}

// The worker's result when it is exactly a dict or None.
PyObject* worker_dict(PyObject* sent, Step* step) {
    if (!sent) return nullptr;
    *step = Step::Return;
    return vk::expect_dict_or_none(Ref::borrow(sent));
}

// ---------------------------------------------------------------- operations

PyObject* remember_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_dict(sent, step);
    auto& s = *co;
    PyObject* args[] = {s[1], s[2], s[3], s[4], s[5]};
    return run_in_thread(co, k::remember, args, k::kw_remember, step);
}

PyObject* context_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_result(sent, step);
    auto& s = *co;
    PyObject* args[] = {s[1], s[2]};
    return run_in_thread(co, k::context, args, k::kw_context, step);
}

enum TurnsSlot { kTurns = 1, kTurnsSession, kTurnsUser, kTurnsTimestamp, kTurnsSnapshot };

PyObject* remember_turns_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_dict(sent, step);
    auto& s = *co;
    Ref snapshot = snapshot_turns(s[kTurns]);
    if (!snapshot) return nullptr;
    vk::set_slot(co, kTurnsSnapshot, std::move(snapshot));
    PyObject* args[] = {s[kTurnsSnapshot], s[kTurnsSession], s[kTurnsUser], s[kTurnsTimestamp]};
    return run_in_thread(co, k::remember_turns, args, k::kw_remember_turns, step);
}

constexpr int kGateToolInput = 4;
constexpr int kGateSnapshot = 13;

PyObject* gate_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_result(sent, step);
    auto& s = *co;
    Ref snapshot = snapshot_mapping(s[kGateToolInput]);
    if (!snapshot) return nullptr;
    vk::set_slot(co, kGateSnapshot, std::move(snapshot));
    PyObject* args[] = {s[1],  s[2],  s[3], s[kGateSnapshot], s[5], s[6], s[7], s[8], s[9],
                        s[10], s[11], s[12]};
    return run_in_thread(co, k::gate, args, k::kw_gate, step);
}

constexpr int kObserveFields = 5;
constexpr int kObserveSnapshot = 12;

PyObject* observe_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_dict(sent, step);
    auto& s = *co;
    Ref snapshot = snapshot_mapping(s[kObserveFields]);
    if (!snapshot) return nullptr;
    vk::set_slot(co, kObserveSnapshot, std::move(snapshot));
    PyObject* args[] = {s[1], s[2], s[3],  s[4], s[kObserveSnapshot], s[6], s[7],
                        s[8], s[9], s[10], s[11]};
    return run_in_thread(co, k::observe, args, k::kw_observe, step);
}

PyObject* doctor_step(Coroutine* co, PyObject* sent, Step* step) {
    if (co->state != vk::kCreated) return worker_dict(sent, step);
    Ref to_thread = to_thread_of(co);
    if (!to_thread) return nullptr;
    Ref bound = sync_method(co, k::doctor);
    return bound ? await_worker(co, to_thread.get(), bound.get(), step) : nullptr;
}

constexpr Param kw_str(const char* name, const char* dflt) {
    return {name, "str", Kind::KwOnly, Check::Str, vk::str_default(dflt)};
}
constexpr Param kw_optional_str(const char* name) {
    return {name, "str | None", Kind::KwOnly, Check::StrOrNone, vk::none_default};
}

const Param remember_params[] = {
    vk::self_param,         {"text", "str", Kind::PosOrKw, Check::Str},
    kw_str("role", "user"), kw_str("session_id", "sdk"),
    kw_str("user_id", ""),  kw_str("timestamp", ""),
};
const Param context_params[] = {
    vk::self_param,
    {"query", "str", Kind::PosOrKw, Check::Str},
    {"max_tokens", "int", Kind::KwOnly, Check::Int, vk::int_default(7000)},
};
const Param remember_turns_params[] = {
    vk::self_param,
    {"turns", "Sequence[Mapping[str, Any]]"},
    kw_str("session_id", "sdk"),
    kw_str("user_id", ""),
    kw_str("timestamp", ""),
};
const Param gate_params[] = {
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
const Param observe_params[] = {
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
const Param doctor_params[] = {vk::self_param};

const char* const turns_locals[] = {"turns_snapshot"};
const char* const gate_locals[] = {"tool_input_snapshot"};
const char* const observe_locals[] = {"fields_snapshot"};

constexpr FuncDef operation(const char* name, const char* qualname, std::span<const Param> params,
                            const char* returns, vk::StepImpl step,
                            std::span<const char* const> locals = {}) {
    return {.name = name,
            .qualname = qualname,
            .params = params,
            .returns = returns,
            .body = vk::Body::Coroutine,
            .step = step,
            .locals = locals,
            .body_tb_bare = true};
}

const FuncDef remember_def = operation("remember", "AsyncVelkorClient.remember", remember_params,
                                       "dict[str, Any]", remember_step);
const FuncDef context_def = operation("context", "AsyncVelkorClient.context", context_params,
                                      "ContextResult", context_step);
const FuncDef remember_turns_def =
    operation("remember_turns", "AsyncVelkorClient.remember_turns", remember_turns_params,
              "dict[str, Any]", remember_turns_step, turns_locals);
const FuncDef gate_def = operation("gate", "AsyncVelkorClient.gate", gate_params, "GateDecision",
                                   gate_step, gate_locals);
const FuncDef observe_def = operation("observe", "AsyncVelkorClient.observe", observe_params,
                                      "dict[str, Any]", observe_step, observe_locals);
const FuncDef doctor_def =
    operation("doctor", "AsyncVelkorClient.doctor", doctor_params, "dict[str, Any]", doctor_step);

// ---------------------------------------------------------------- module body

Ref async_velkor_client(PyObject* m) {
    Ref init = vk::make_function(init_def, m);
    Ref from_env_fn = vk::make_function(from_env_def, m);
    Ref from_env = from_env_fn ? Ref::steal(PyClassMethod_New(from_env_fn.get())) : Ref();
    Ref remember = vk::make_function(remember_def, m);
    Ref context = vk::make_function(context_def, m);
    Ref remember_turns = vk::make_function(remember_turns_def, m);
    Ref gate = vk::make_function(gate_def, m);
    Ref observe = vk::make_function(observe_def, m);
    Ref doctor = vk::make_function(doctor_def, m);
    if (!init || !from_env || !remember || !context || !remember_turns || !gate || !observe ||
        !doctor)
        return Ref();
    return vk::make_class(m, "AsyncVelkorClient", "Awaitable counterpart to :class:`VelkorClient`.",
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
    .constants = make_constants,
};

}  // namespace

PyMODINIT_FUNC PyInit_parlow() {
    return vk::module_init(state);
}
