// Declarations shared between the runtime's own files.
#pragma once

#include "runtime.hpp"

namespace vk {

int bind(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
int apply_checks(Function* fn, Args& args);
PyObject* coroutine_new(Function* fn, Args& args);
// "module.qualname" of a function, for traceback entries.
void add_function_traceback(Function* fn, bool bare);
int ready_types();

}  // namespace vk
