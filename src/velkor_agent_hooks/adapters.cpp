// velkor_agent_hooks.adapters: small framework adapters with no framework imports.
#include <array>
#include <vector>

#include "runtime.hpp"

using vk::Args;
using vk::call;
using vk::call_method;
using vk::Check;
using vk::Coroutine;
using vk::FuncDef;
using vk::Function;
using vk::getattr;
using vk::Kind;
using vk::Param;
using vk::Ref;

namespace {

// Names and keyword tuples are declared next to the code that uses them (vk::Constant), in
// namespace k so that a use reads k::name.

// collections.abc.Mapping as imported at load.
PyObject* abc_mapping;

// ---------------------------------------------------------------- shared steps

namespace k {
const vk::Str get{"get"}, empty{""}, client{"client"}, session_id{"session_id"},
    agent_id{"agent_id"}, text{"text"}, query{"query"}, context{"context"}, remember{"remember"},
    gate{"gate"}, observe{"observe"}, block_hash{"block_hash"}, user{"user"};
const vk::KwNames kw_role_session{"role", "session_id"};
}  // namespace k

// mapping.get(key); an exact dict's get cannot be overridden, so it is read directly.
Ref mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) < 0) return Ref();
        return value ? Ref::steal(value) : Ref::borrow(Py_None);
    }
    PyObject* args[] = {mapping, key};
    return call_method(k::get, args);
}

// mapping.get(key) or `fallback` when that value is false.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
    Ref value = mapping_get(mapping, key);
    if (!value) return value;
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return Ref();
    return truth ? std::move(value) : Ref::borrow(fallback);
}

// The text of mapping.get(first) or mapping.get(fallback) or "".
Ref text_from(PyObject* mapping, PyObject* first, PyObject* fallback) {
    Ref value = mapping_get(mapping, first);
    if (!value) return value;
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return Ref();
    if (!truth) {
        value = get_or(mapping, fallback, k::empty);
        if (!value) return value;
    }
    return vk::as_text(value.get());
}

// ---------------------------------------------------------------- LangChainMemory

namespace k {
const vk::Str memory_key{"memory_key"}, input{"input"}, output{"output"}, answer{"answer"},
    assistant{"assistant"};
}  // namespace k

PyObject* memory_init(Function*, Args& a) {
    if (PyObject_SetAttr(a[0], k::client, a[1]) < 0 ||
        PyObject_SetAttr(a[0], k::session_id, a[2]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* memory_variables(Function*, Args& a) {
    static vk::AttrCache key_site;
    Ref key = vk::getattr(a[0], k::memory_key, key_site);
    if (!key) return nullptr;
    PyObject* list = PyList_New(1);
    if (list) PyList_SET_ITEM(list, 0, key.release());
    return list;
}

PyObject* memory_load(Function*, Args& a) {
    Ref query = text_from(a[1], k::input, k::query);
    if (!query) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    static vk::AttrCache key_site;
    Ref key = vk::getattr(a[0], k::memory_key, key_site);
    if (!key) return nullptr;
    static vk::AttrCache client_site;
    Ref client = vk::getattr(a[0], k::client, client_site);
    if (!client) return nullptr;
    PyObject* args[] = {client.get(), query.get()};
    static vk::MethodCache context_call;
    Ref context = call_method(k::context, args, nullptr, context_call);
    if (!context) return nullptr;
    static vk::AttrCache text_site;
    Ref text = vk::getattr(context.get(), k::text, text_site);
    if (!text || PyDict_SetItem(result.get(), key.get(), text.get()) < 0) return nullptr;
    return result.release();
}

// self.client.remember(text, role=role, session_id=self.session_id)
int remember_turn(PyObject* self, PyObject* text, PyObject* role) {
    static vk::AttrCache client_site;
    Ref client = vk::getattr(self, k::client, client_site);
    if (!client) return -1;
    static vk::AttrCache session_site;
    Ref session = vk::getattr(self, k::session_id, session_site);
    if (!session) return -1;
    PyObject* args[] = {client.get(), text, role, session.get()};
    static vk::MethodCache remember_call;
    return call_method(k::remember, args, k::kw_role_session, remember_call) ? 0 : -1;
}

PyObject* memory_save(Function*, Args& a) {
    Ref user = text_from(a[1], k::input, k::query);
    if (!user) return nullptr;
    Ref assistant = text_from(a[2], k::output, k::answer);
    if (!assistant) return nullptr;
    if (PyUnicode_GET_LENGTH(user.get()) > 0 && remember_turn(a[0], user.get(), k::user) < 0)
        return nullptr;
    if (PyUnicode_GET_LENGTH(assistant.get()) > 0 &&
        remember_turn(a[0], assistant.get(), k::assistant) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* memory_clear(Function*, Args&) {
    Py_RETURN_NONE;
}

const Param memory_init_params[] = {
    vk::self_param,
    {"client", "VelkorClient"},
    {"session_id", "str", Kind::KwOnly, Check::Str, vk::str_default("langchain")},
};
const Param memory_self_params[] = {vk::self_param};
const Param memory_load_params[] = {vk::self_param, {"inputs", "Mapping[str, Any]"}};
const Param memory_save_params[] = {
    vk::self_param, {"inputs", "Mapping[str, Any]"}, {"outputs", "Mapping[str, Any]"}};

const FuncDef memory_init_def = {
    .name = "__init__", .params = memory_init_params, .returns = "None", .impl = memory_init};
const FuncDef memory_variables_def = {.name = "memory_variables",
                                      .params = memory_self_params,
                                      .returns = "list[str]",
                                      .impl = memory_variables};
const FuncDef memory_load_def = {.name = "load_memory_variables",
                                 .params = memory_load_params,
                                 .returns = "dict[str, str]",
                                 .impl = memory_load};
const FuncDef memory_save_def = {
    .name = "save_context", .params = memory_save_params, .returns = "None", .impl = memory_save};
const FuncDef memory_clear_def = {
    .name = "clear", .params = memory_self_params, .returns = "None", .impl = memory_clear};

// ---------------------------------------------------------------- LangGraphStore

namespace k {
const vk::Str slash{"/"}, json{"json"}, dumps{"dumps"}, namespace_{"namespace"}, value{"value"},
    score{"score"}, hash{"hash"}, max_tokens{"max_tokens"};
const vk::KwNames kw_dumps{"sort_keys", "ensure_ascii", "default"};
const vk::KwNames kw_session{"session_id"};
const vk::KwNames kw_max_tokens{"max_tokens"};
const vk::Float one_float{1.0};
}  // namespace k

const char store_doc[] =
    "A small transport helper, not a LangGraph ``BaseStore`` implementation.\n\n"
    "    A namespace is retained as a session cue. It is not an authorization or\n"
    "    tenant boundary. Use a separate Velkor project for data isolation.\n"
    "    ";

PyObject* store_init(Function*, Args& a) {
    if (PyObject_SetAttr(a[0], k::client, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// [*namespace, key]; an exact tuple or list is copied directly, as nothing can override how
// it iterates.
Ref namespace_parts(PyObject* ns, PyObject* key) {
    if (!PyTuple_CheckExact(ns) && !PyList_CheckExact(ns)) {
        Ref parts = Ref::steal(PySequence_List(ns));
        return parts && PyList_Append(parts.get(), key) == 0 ? std::move(parts) : Ref();
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(ns);
    Ref parts = Ref::steal(PyList_New(n + 1));
    if (!parts) return parts;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(parts.get(), i, Py_NewRef(PySequence_Fast_GET_ITEM(ns, i)));
    PyList_SET_ITEM(parts.get(), n, Py_NewRef(key));
    return parts;
}

PyObject* store_put(Function* fn, Args& a) {
    PyObject *self = a[0], *ns = a[1], *key = a[2], *value = a[3];
    Ref parts = namespace_parts(ns, key);
    if (!parts) return nullptr;
    Ref session = Ref::steal(PyUnicode_Join(k::slash, parts.get()));
    if (!session) return nullptr;
    Ref text;
    if (PyUnicode_Check(value)) {
        text = Ref::borrow(value);
    } else {
        Ref json = vk::lookup_global(fn, k::json);
        if (!json) return nullptr;
        PyObject* args[] = {json.get(), value, Py_True, Py_False,
                            reinterpret_cast<PyObject*>(&PyUnicode_Type)};
        text = call_method(k::dumps, args, k::kw_dumps);
        if (!text) return nullptr;
    }
    static vk::AttrCache client_site;
    Ref client = vk::getattr(self, k::client, client_site);
    if (!client) return nullptr;
    PyObject* args[] = {client.get(), text.get(), session.get()};
    static vk::MethodCache remember_call;
    return vk::expect_dict_or_none(call_method(k::remember, args, k::kw_session, remember_call));
}

// limit * 700, clamped to 400..12000.
PyObject* budget_for(PyObject* limit) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    long long budget;
    if (overflow > 0 || n > 17)
        budget = 12000;
    else if (overflow < 0 || n < 0)
        budget = 400;
    else
        budget = n * 700;
    if (budget >= 12000) budget = 12000;
    if (budget <= 400) budget = 400;
    return PyLong_FromLongLong(budget);
}

PyObject* store_search(Function*, Args& a) {
    PyObject *self = a[0], *ns = a[1], *query = a[2], *limit = a[3];
    static vk::AttrCache client_site;
    Ref client = vk::getattr(self, k::client, client_site);
    if (!client) return nullptr;
    Ref budget = Ref::steal(budget_for(limit));
    if (!budget) return nullptr;
    PyObject* args[] = {client.get(), query, budget.get()};
    static vk::MethodCache context_call;
    Ref result = call_method(k::context, args, k::kw_max_tokens, context_call);
    if (!result) return nullptr;
    static vk::AttrCache text_site;
    Ref text = vk::getattr(result.get(), k::text, text_site);
    if (!text) return nullptr;
    int truth = PyObject_IsTrue(text.get());
    if (truth < 0) return nullptr;
    if (!truth) return PyList_New(0);

    Ref hit = Ref::steal(PyDict_New());
    if (!hit) return nullptr;
    Ref tuple = Ref::steal(PySequence_Tuple(ns));
    if (!tuple || PyDict_SetItem(hit.get(), k::namespace_, tuple.get()) < 0) return nullptr;
    text = vk::getattr(result.get(), k::text, text_site);
    if (!text || PyDict_SetItem(hit.get(), k::value, text.get()) < 0) return nullptr;
    if (PyDict_SetItem(hit.get(), k::score, k::one_float) < 0) return nullptr;
    static vk::AttrCache hash_site;
    Ref hash = vk::getattr(result.get(), k::block_hash, hash_site);
    if (!hash || PyDict_SetItem(hit.get(), k::hash, hash.get()) < 0) return nullptr;
    PyObject* list = PyList_New(1);
    if (list) PyList_SET_ITEM(list, 0, hit.release());
    return list;
}

const Param store_init_params[] = {vk::self_param, {"client", "VelkorClient"}};
const Param store_put_params[] = {
    vk::self_param,
    {"namespace", "Sequence[str]"},
    {"key", "str", Kind::PosOrKw, Check::Str},
    {"value", "Any"},
};
const Param store_search_params[] = {
    vk::self_param,
    {"namespace", "Sequence[str]"},
    {"query", "str", Kind::KwOnly, Check::Str},
    {"limit", "int", Kind::KwOnly, Check::Int, vk::int_default(10)},
};

const FuncDef store_init_def = {
    .name = "__init__", .params = store_init_params, .returns = "None", .impl = store_init};
const FuncDef store_put_def = {
    .name = "put", .params = store_put_params, .returns = "dict[str, Any]", .impl = store_put};
const FuncDef store_search_def = {.name = "search",
                                  .params = store_search_params,
                                  .returns = "list[dict[str, Any]]",
                                  .impl = store_search};

// ---------------------------------------------------------------- AgentHooks

namespace k {
const vk::Str result_preview{"result_preview"}, uuid{"uuid"}, uuid4{"uuid4"}, hex{"hex"},
    sdk_prefix{"sdk_"}, before_tool{"before_tool"}, after_tool{"after_tool"}, require{"require"},
    failed{"FAILED"};
const vk::KwNames kw_gate{"agent_id", "session_id", "tool_input", "trace_id"};
const vk::KwNames kw_observe{"agent_id",       "tool_name", "session_id",
                             "outcome_status", "fields",    "trace_id"};
const vk::KwNames kw_session_trace{"session_id", "trace_id"};
const vk::KwNames kw_failed_report{"session_id", "outcome_status", "result", "trace_id"};
}  // namespace k

PyObject* hooks_before_tool(Function*, Args& a) {
    PyObject *self = a[0], *tool_name = a[1], *tool_input = a[2], *session_id = a[3],
             *trace_id = a[4];
    static vk::AttrCache client_site;
    Ref client = vk::getattr(self, k::client, client_site);
    if (!client) return nullptr;
    static vk::AttrCache agent_id_site;
    Ref agent_id = vk::getattr(self, k::agent_id, agent_id_site);
    if (!agent_id) return nullptr;
    PyObject* args[] = {client.get(), tool_name, agent_id.get(), session_id, tool_input, trace_id};
    static vk::MethodCache gate_call;
    return call_method(k::gate, args, k::kw_gate, gate_call).release();
}

// {} for no result, else {"result_preview": str(result)[:1000]}
Ref observation_fields(PyObject* result) {
    Ref fields = Ref::steal(PyDict_New());
    if (!fields || result == Py_None) return fields;
    Ref text = vk::as_text(result);
    if (!text) return text;
    if (PyUnicode_GET_LENGTH(text.get()) > 1000) {
        text = Ref::steal(PyUnicode_Substring(text.get(), 0, 1000));
        if (!text) return text;
    }
    if (PyDict_SetItem(fields.get(), k::result_preview, text.get()) < 0) return Ref();
    return fields;
}

PyObject* hooks_after_tool(Function*, Args& a) {
    PyObject *self = a[0], *tool_name = a[1], *session_id = a[2], *status = a[3], *result = a[4],
             *trace_id = a[5];
    Ref fields = observation_fields(result);
    if (!fields) return nullptr;
    static vk::AttrCache client_site;
    Ref client = vk::getattr(self, k::client, client_site);
    if (!client) return nullptr;
    static vk::AttrCache agent_id_site;
    Ref agent_id = vk::getattr(self, k::agent_id, agent_id_site);
    if (!agent_id) return nullptr;
    PyObject* args[] = {client.get(), agent_id.get(), tool_name, session_id,
                        status,       fields.get(),   trace_id};
    static vk::MethodCache observe_call;
    return vk::expect_dict_or_none(call_method(k::observe, args, k::kw_observe, observe_call));
}

// "sdk_" + f"{uuid.uuid4().hex}"
Ref new_correlation_id(Function* fn) {
    Ref uuid = vk::lookup_global(fn, k::uuid);
    if (!uuid) return uuid;
    PyObject* args[] = {uuid.get()};
    Ref value = call_method(k::uuid4, args);
    if (!value) return value;
    Ref hex = getattr(value.get(), k::hex);
    if (!hex) return hex;
    Ref text = Ref::steal(PyObject_Format(hex.get(), k::empty));
    if (!text) return text;
    return Ref::steal(PyUnicode_Concat(k::sdk_prefix, text.get()));
}

constexpr Param hooks_before_params[] = {
    vk::self_param,
    {"tool_name", "str", Kind::PosOrKw, Check::Str},
    {"tool_input", "Mapping[str, Any] | None", Kind::PosOrKw, Check::None, vk::none_default},
    {"session_id", "str", Kind::KwOnly, Check::Str, vk::str_default("")},
    {"trace_id", "str", Kind::KwOnly, Check::Str, vk::str_default("")},
};
const Param hooks_after_params[] = {
    vk::self_param,
    {"tool_name", "str", Kind::PosOrKw, Check::Str},
    {"session_id", "str", Kind::KwOnly, Check::Str, vk::str_default("")},
    {"outcome_status", "str", Kind::KwOnly, Check::Str, vk::str_default("SUCCESS")},
    {"result", "Any", Kind::KwOnly, Check::None, vk::none_default},
    {"trace_id", "str", Kind::KwOnly, Check::Str, vk::str_default("")},
};

const FuncDef hooks_before_def = {.name = "before_tool",
                                  .params = hooks_before_params,
                                  .returns = "GateDecision",
                                  .impl = hooks_before_tool};
const FuncDef hooks_after_def = {.name = "after_tool",
                                 .params = hooks_after_params,
                                 .returns = "dict[str, Any]",
                                 .impl = hooks_after_tool};

// guard: a generator with before_tool's parameters and these locals.
constexpr const char* guard_locals[] = {"correlation_id", "decision", "exc"};

consteval int slot(const char* name) {
    return vk::slot_of(hooks_before_params, guard_locals, name);
}
constexpr int kSelf = slot("self"), kToolName = slot("tool_name"), kToolInput = slot("tool_input"),
              kSessionId = slot("session_id"), kTraceId = slot("trace_id"),
              kCorrelation = slot("correlation_id"), kDecision = slot("decision"),
              kExc = slot("exc");
constexpr int16_t kAfterYield = 1;  // resume point: the with block has ended

// correlation_id = trace_id or new id; decision = self.before_tool(...); decision.require();
// yield decision
PyObject* guard_enter(Coroutine* co, vk::Step* step) {
    auto& s = *co;
    int truth = PyObject_IsTrue(s[kTraceId]);
    if (truth < 0) return nullptr;
    Ref correlation = truth ? Ref::borrow(s[kTraceId]) : new_correlation_id(co->fn);
    if (!correlation) return nullptr;
    vk::set_slot(co, kCorrelation, std::move(correlation));

    PyObject* args[] = {s[kSelf], s[kToolName], s[kToolInput], s[kSessionId], s[kCorrelation]};
    static vk::MethodCache before_tool_call;
    Ref decision = call_method(k::before_tool, args, k::kw_session_trace, before_tool_call);
    if (!decision) return nullptr;
    vk::set_slot(co, kDecision, std::move(decision));

    PyObject* require_args[] = {s[kDecision]};
    static vk::MethodCache require_call;
    if (!call_method(k::require, require_args, nullptr, require_call)) return nullptr;
    return vk::step_yield(co, step, kAfterYield, Py_NewRef(s[kDecision]));
}

// except Exception as exc: self.after_tool(..., "FAILED", result=exc, ...); raise
// else self.after_tool(...)
PyObject* guard_exit(Coroutine* co, PyObject* sent, vk::Step* step) {
    auto& s = *co;
    if (!sent) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        vk::set_slot(co, kExc, Ref::borrow(exc.get()));
        {
            vk::Handling handling(co, exc.get());
            PyObject* args[] = {s[kSelf],  s[kToolName], s[kSessionId],
                                k::failed, exc.get(),    s[kCorrelation]};
            static vk::MethodCache after_tool_call;
            if (!call_method(k::after_tool, args, k::kw_failed_report, after_tool_call))
                return nullptr;
        }
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    PyObject* args[] = {s[kSelf], s[kToolName], s[kSessionId], s[kCorrelation]};
    static vk::MethodCache after_tool_call;
    if (!call_method(k::after_tool, args, k::kw_session_trace, after_tool_call)) return nullptr;
    return vk::step_return(step, Py_NewRef(Py_None));
}

PyObject* guard_step(Coroutine* co, PyObject* sent, vk::Step* step) {
    if (vk::resume_point(co) == vk::kCreated) return sent ? guard_enter(co, step) : nullptr;
    return guard_exit(co, sent, step);
}

const FuncDef hooks_guard_def = {
    .name = "guard",
    .params = hooks_before_params,
    .returns = "Iterator[GateDecision]",
    .body = vk::Body::Generator,
    .step = guard_step,
    .locals = guard_locals,
};

// ---------------------------------------------------------------- openai_tools

namespace k {
const vk::Str type{"type"}, function{"function"}, name{"name"}, description{"description"},
    parameters{"parameters"}, object{"object"}, properties{"properties"}, required{"required"},
    additional_properties{"additionalProperties"}, string{"string"}, integer{"integer"},
    velkor_context{"velkor_context"}, velkor_remember{"velkor_remember"},
    velkor_gate{"velkor_gate"}, role{"role"}, tool_name{"tool_name"}, tool_input{"tool_input"};
}  // namespace k

const char openai_tools_doc[] =
    "Voluntary function tools for OpenAI-compatible hosts.\n\n"
    "    These schemas do not enforce Governance. A host must call ``gate`` from a\n"
    "    before-tool lifecycle hook to guarantee that a denied tool never runs.\n"
    "    ";

struct Property {
    const vk::Str& name;
    const vk::Str& type;
};

// {"type": "function", "function": {"name", "description", "parameters": {...}}}
Ref tool_schema(PyObject* name, const char* description, std::initializer_list<Property> props,
                PyObject* required) {
    Ref tool = Ref::steal(PyDict_New());
    if (!tool || PyDict_SetItem(tool.get(), k::type, k::function) < 0) return Ref();
    Ref function = Ref::steal(PyDict_New());
    Ref desc = Ref::steal(PyUnicode_InternFromString(description));
    if (!function || !desc || PyDict_SetItem(function.get(), k::name, name) < 0 ||
        PyDict_SetItem(function.get(), k::description, desc.get()) < 0)
        return Ref();
    Ref params = Ref::steal(PyDict_New());
    if (!params || PyDict_SetItem(params.get(), k::type, k::object) < 0) return Ref();
    Ref properties = Ref::steal(PyDict_New());
    if (!properties) return Ref();
    for (const Property& p : props) {
        Ref schema = Ref::steal(PyDict_New());
        if (!schema || PyDict_SetItem(schema.get(), k::type, p.type) < 0 ||
            PyDict_SetItem(properties.get(), p.name, schema.get()) < 0)
            return Ref();
    }
    if (PyDict_SetItem(params.get(), k::properties, properties.get()) < 0) return Ref();
    Ref req = Ref::steal(PyList_New(1));
    if (!req) return Ref();
    PyList_SET_ITEM(req.get(), 0, Py_NewRef(required));
    if (PyDict_SetItem(params.get(), k::required, req.get()) < 0 ||
        PyDict_SetItem(params.get(), k::additional_properties, Py_False) < 0 ||
        PyDict_SetItem(function.get(), k::parameters, params.get()) < 0 ||
        PyDict_SetItem(tool.get(), k::function, function.get()) < 0)
        return Ref();
    return tool;
}

Ref make_tools() {
    std::array<Ref, 3> tools = {
        tool_schema(k::velkor_context, "Retrieve bounded conversational memory for a question.",
                    {{k::query, k::string}, {k::max_tokens, k::integer}}, k::query),
        tool_schema(k::velkor_remember, "Store a conversational turn in the local memory product.",
                    {{k::text, k::string}, {k::role, k::string}, {k::session_id, k::string}},
                    k::text),
        tool_schema(
            k::velkor_gate, "Check an agent tool call against local Governance policy.",
            {{k::tool_name, k::string}, {k::agent_id, k::string}, {k::tool_input, k::object}},
            k::tool_name),
    };
    for (const Ref& t : tools)
        if (!t) return Ref();
    Ref list = Ref::steal(PyList_New(3));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, tools[i].newref());
    return list;
}

// The schemas are built once; every call gets new dicts and lists throughout, strings and
// other leaves shared. Where the containers sit is worked out once too, so a call copies each
// finished dict or list whole (cheaper than filling a new one) and replaces only the
// containers inside it.
struct Shape {
    struct Inner;
    PyObject* object = nullptr;  // a dict or list of the built schemas
    std::vector<Inner> inner;    // its values that are dicts or lists
};
struct Shape::Inner {
    PyObject* key;     // in a dict
    Py_ssize_t index;  // in a list
    Shape shape;
};

bool is_container(PyObject* o) {
    return PyDict_CheckExact(o) || PyList_CheckExact(o);
}

Shape shape_of(PyObject* o) {
    Shape shape{o, {}};
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
            if (is_container(PyList_GET_ITEM(o, i)))
                shape.inner.push_back({nullptr, i, shape_of(PyList_GET_ITEM(o, i))});
        return shape;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value))
        if (is_container(value)) shape.inner.push_back({key, 0, shape_of(value)});
    return shape;
}

PyObject* fresh_copy(const Shape& shape) {
    PyObject* o = shape.object;
    if (PyList_CheckExact(o)) {
        Ref list = Ref::steal(PyList_GetSlice(o, 0, PyList_GET_SIZE(o)));
        if (!list) return nullptr;
        for (const Shape::Inner& in : shape.inner) {
            PyObject* item = fresh_copy(in.shape);
            if (!item || PyList_SetItem(list.get(), in.index, item) < 0) return nullptr;
        }
        return list.release();
    }
    Ref dict = Ref::steal(PyDict_Copy(o));
    if (!dict) return nullptr;
    for (const Shape::Inner& in : shape.inner) {
        Ref value = Ref::steal(fresh_copy(in.shape));
        if (!value || PyDict_SetItem(dict.get(), in.key, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* openai_tools(Function*, Args&) {
    static Shape tools;  // a failed build is tried again on the next call
    if (!tools.object) {
        Ref built = make_tools();
        if (!built) return nullptr;
        tools = shape_of(built.release());
    }
    return fresh_copy(tools);
}

const FuncDef openai_tools_def = {
    .name = "openai_tools",
    .params = {},
    .returns = "list[dict[str, Any]]",
    .impl = openai_tools,
    .doc = openai_tools_doc,
};

// ---------------------------------------------------------------- dispatch

namespace k {
const vk::Str token_count{"token_count"}, status{"status"}, sdk{"sdk"}, process{"process"},
    allow{"allow"}, governed{"governed"}, reason{"reason"}, degraded{"degraded"},
    outcome{"outcome"}, Mapping{"Mapping"};
const vk::KwNames kw_gate_tool{"agent_id", "tool_input"};
const vk::Int seven_thousand{7000};
}  // namespace k

bool same_text(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// A new dict of `obj`'s attributes, each under the key of the same name, read in order.
struct Field {
    const vk::Str& key;
    const vk::Str& attr;
};
template <size_t N>
Ref attributes_dict(PyObject* obj, const Field (&fields)[N], vk::AttrCache (&sites)[N]) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return result;
    for (size_t i = 0; i < N; ++i) {
        Ref value = vk::getattr(obj, fields[i].attr, sites[i]);
        if (!value || PyDict_SetItem(result.get(), fields[i].key, value.get()) < 0) return Ref();
    }
    return result;
}

PyObject* dispatch_context(PyObject* client, PyObject* arguments) {
    Ref query = get_or(arguments, k::query, k::empty);
    if (!query || !(query = vk::as_text(query.get()))) return nullptr;
    Ref max_tokens = get_or(arguments, k::max_tokens, k::seven_thousand);
    if (!max_tokens || !(max_tokens = vk::as_int(max_tokens.get()))) return nullptr;
    PyObject* args[] = {client, query.get(), max_tokens.get()};
    static vk::MethodCache context_call;
    Ref result = call_method(k::context, args, k::kw_max_tokens, context_call);
    if (!result) return nullptr;
    static const Field fields[] = {{k::context, k::text},
                                   {k::hash, k::block_hash},
                                   {k::token_count, k::token_count},
                                   {k::status, k::status}};
    static vk::AttrCache sites[std::size(fields)];
    return attributes_dict(result.get(), fields, sites).release();
}

PyObject* dispatch_remember(PyObject* client, PyObject* arguments) {
    Ref text = get_or(arguments, k::text, k::empty);
    if (!text || !(text = vk::as_text(text.get()))) return nullptr;
    Ref role = get_or(arguments, k::role, k::user);
    if (!role || !(role = vk::as_text(role.get()))) return nullptr;
    Ref session = get_or(arguments, k::session_id, k::sdk);
    if (!session || !(session = vk::as_text(session.get()))) return nullptr;
    PyObject* args[] = {client, text.get(), role.get(), session.get()};
    static vk::MethodCache remember_call;
    return vk::expect_dict_or_none(
        call_method(k::remember, args, k::kw_role_session, remember_call));
}

PyObject* dispatch_gate(Function* fn, PyObject* client, PyObject* arguments) {
    Ref tool_name = get_or(arguments, k::tool_name, k::process);
    if (!tool_name || !(tool_name = vk::as_text(tool_name.get()))) return nullptr;
    Ref agent_id = get_or(arguments, k::agent_id, k::empty);
    if (!agent_id || !(agent_id = vk::as_text(agent_id.get()))) return nullptr;
    Ref tool_input = mapping_get(arguments, k::tool_input);
    if (!tool_input) return nullptr;
    Ref mapping = vk::lookup_global(fn, k::Mapping);
    if (!mapping) return nullptr;
    // dict is registered with collections.abc.Mapping for good, so that answer is known.
    int is_mapping = mapping.get() == abc_mapping && PyDict_CheckExact(tool_input.get())
                         ? 1
                         : PyObject_IsInstance(tool_input.get(), mapping.get());
    if (is_mapping < 0) return nullptr;
    tool_input = is_mapping ? mapping_get(arguments, k::tool_input) : Ref::steal(PyDict_New());
    if (!tool_input) return nullptr;
    PyObject* args[] = {client, tool_name.get(), agent_id.get(), tool_input.get()};
    static vk::MethodCache gate_call;
    Ref decision = call_method(k::gate, args, k::kw_gate_tool, gate_call);
    if (!decision) return nullptr;
    static const Field fields[] = {{k::allow, k::allow},
                                   {k::governed, k::governed},
                                   {k::reason, k::reason},
                                   {k::degraded, k::degraded},
                                   {k::outcome, k::outcome}};
    static vk::AttrCache sites[std::size(fields)];
    return attributes_dict(decision.get(), fields, sites).release();
}

PyObject* dispatch(Function* fn, Args& a) {
    PyObject *client = a[0], *name = a[1], *arguments = a[2];
    if (same_text(name, k::velkor_context)) return dispatch_context(client, arguments);
    if (same_text(name, k::velkor_remember)) return dispatch_remember(client, arguments);
    if (same_text(name, k::velkor_gate)) return dispatch_gate(fn, client, arguments);
    Ref message = Ref::steal(PyUnicode_FromFormat("unknown Velkor tool: %U", name));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

const Param dispatch_params[] = {
    {"client", "VelkorClient"},
    {"name", "str", Kind::PosOrKw, Check::Str},
    {"arguments", "Mapping[str, Any]"},
};
const char* const dispatch_locals[] = {"result", "decision"};
const FuncDef dispatch_def = {
    .name = "dispatch",
    .params = dispatch_params,
    .returns = "dict[str, Any]",
    .impl = dispatch,
    .locals = dispatch_locals,
};

// ---------------------------------------------------------------- module body

namespace k {
const vk::Str contextmanager{"contextmanager"}, dataclass{"dataclass"};
}  // namespace k

int bind(PyObject* module, const char* name, Ref value) {
    return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

Ref lang_chain_memory(PyObject* m) {
    Ref memory_key = Ref::steal(PyUnicode_InternFromString("history"));
    const char* cls = "LangChainMemory";
    Ref init = vk::make_function(memory_init_def, m, cls);
    Ref getter = vk::make_function(memory_variables_def, m, cls);
    Ref variables = getter ? Ref::steal(PyObject_CallOneArg(
                                 reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()))
                           : Ref();
    Ref load = vk::make_function(memory_load_def, m, cls);
    Ref save = vk::make_function(memory_save_def, m, cls);
    Ref clear = vk::make_function(memory_clear_def, m, cls);
    if (!memory_key || !init || !variables || !load || !save || !clear) return Ref();
    return vk::make_class(m, cls, nullptr,
                          {{"memory_key", memory_key.get()},
                           {"__init__", init.get()},
                           {"memory_variables", variables.get()},
                           {"load_memory_variables", load.get()},
                           {"save_context", save.get()},
                           {"clear", clear.get()}});
}

Ref lang_graph_store(PyObject* m) {
    const char* cls = "LangGraphStore";
    Ref init = vk::make_function(store_init_def, m, cls);
    Ref put = vk::make_function(store_put_def, m, cls);
    Ref search = vk::make_function(store_search_def, m, cls);
    if (!init || !put || !search) return Ref();
    return vk::make_class(m, cls, store_doc,
                          {{"__init__", init.get()}, {"put", put.get()}, {"search", search.get()}});
}

Ref agent_hooks(PyObject* m) {
    PyObject* globals = PyModule_GetDict(m);
    Ref annotations =
        Ref::steal(Py_BuildValue("{s:s,s:s}", "client", "VelkorClient", "agent_id", "str"));
    const char* cls = "AgentHooks";
    Ref before = vk::make_function(hooks_before_def, m, cls);
    Ref after = vk::make_function(hooks_after_def, m, cls);
    Ref guard_fn = vk::make_function(hooks_guard_def, m, cls);
    if (!annotations || !before || !after || !guard_fn) return Ref();
    Ref contextmanager = vk::lookup_global(globals, k::contextmanager);
    if (!contextmanager) return Ref();
    Ref guard = Ref::steal(PyObject_CallOneArg(contextmanager.get(), guard_fn.get()));
    if (!guard) return Ref();
    Ref made = vk::make_class(m, cls, nullptr,
                              {{"__annotations__", annotations.get()},
                               {"before_tool", before.get()},
                               {"after_tool", after.get()},
                               {"guard", guard.get()}});
    if (!made) return made;
    Ref dataclass = vk::lookup_global(globals, k::dataclass);
    if (!dataclass) return Ref();
    return Ref::steal(PyObject_CallOneArg(dataclass.get(), made.get()));
}

// Keeps the Mapping bound at load when dicts are instances of it (the real ABC): a dict's
// membership in an ABC it is registered with cannot change afterwards.
int remember_mapping_abc(PyObject* m) {
    // Held: the instance check runs Python code, which may unbind the name.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(m), k::Mapping, &found) < 0) return -1;
    Ref mapping = Ref::steal(found);
    Ref probe = Ref::steal(PyDict_New());
    if (!mapping || !probe) return PyErr_Occurred() ? -1 : 0;
    int is_mapping = PyObject_IsInstance(probe.get(), mapping.get());
    if (is_mapping < 0) return -1;
    Py_XSETREF(abc_mapping, is_mapping ? mapping.release() : nullptr);
    return 0;
}

int module_body(PyObject* m) {
    if (vk::import_module(m, "json", "json", 0, {}) < 0 ||
        vk::import_module(m, "uuid", "uuid", 0, {}) < 0 ||
        vk::import_module(m, "collections.abc", "collections.abc", 0,
                          {"Iterator", "Mapping", "Sequence"}) < 0 ||
        vk::import_module(m, "contextlib", "contextlib", 0, {"contextmanager"}) < 0 ||
        vk::import_module(m, "dataclasses", "dataclasses", 0, {"dataclass"}) < 0 ||
        vk::import_module(m, "typing", "typing", 0, {"Any"}) < 0 ||
        vk::import_module(m, "velkor_agent_hooks.client", "client", 1,
                          {"GateDecision", "VelkorClient"}) < 0)
        return -1;
    if (remember_mapping_abc(m) < 0) return -1;
    if (bind(m, "LangChainMemory", lang_chain_memory(m)) < 0 ||
        bind(m, "LangGraphStore", lang_graph_store(m)) < 0 ||
        bind(m, "AgentHooks", agent_hooks(m)) < 0 ||
        bind(m, "openai_tools", vk::make_function(openai_tools_def, m)) < 0 ||
        bind(m, "dispatch", vk::make_function(dispatch_def, m)) < 0)
        return -1;
    return 0;
}

vk::ModuleState state = {
    .name = "velkor_agent_hooks.adapters",
    .short_name = "adapters",
    .file = "src/velkor_agent_hooks/adapters",
    .doc =
        "Small framework adapters with no framework imports.\n\n"
        "The objects use the method shapes expected by common hosts but deliberately\n"
        "avoid making LangChain, LangGraph, CrewAI, OpenClaw, or Hermes hard "
        "dependencies.\n",
    .body = module_body,
};

}  // namespace

PyMODINIT_FUNC PyInit_adapters() {
    return vk::module_init(state);
}
