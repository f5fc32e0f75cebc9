// Declarations shared between the runtime's own files.
#pragma once

#include "runtime.hpp"

namespace vk {

int bind(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
int apply_checks(Function* fn, Args& args);
PyObject* coroutine_new(Function* fn, Args& args);
// "module.qualname" of a function, for traceback entries.
void add_function_traceback(Function* fn, bool bare);
// Readies the runtime's types and interns its own names; once per module execution.
int runtime_ready();
// The type's __name__ as UTF-8, kept alive by `holder`.
const char* type_name(PyObject* value, Ref& holder);
// The state of the module this copy of the runtime is linked into.
ModuleState& module_state();
int coroutine_constants();
int binder_constants();

}  // namespace vk
