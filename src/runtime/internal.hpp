// Declarations shared between the runtime's own files.
#pragma once

#include "runtime.hpp"

namespace vk {

int bind(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
int apply_checks(Function* fn, Args& args);
PyObject* coroutine_new(Function* fn, Args& args);
// Traceback entry named "module.Qualname" (or the bare name) of the function.
void add_function_traceback(Function* fn, bool bare);
// Readies the runtime's types; once per module execution.
int runtime_ready();
// The type's __name__ as UTF-8, kept alive by `holder`.
const char* type_name(PyObject* value, Ref& holder);
// A dict's version: changes with every change to its contents (attrs.cpp).
uint64_t dict_version(PyObject* dict);
// The state of the module this copy of the runtime is linked into.
ModuleState& module_state();

}  // namespace vk
