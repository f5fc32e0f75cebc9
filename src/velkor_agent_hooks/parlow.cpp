#include "runtime.hpp"
PyMODINIT_FUNC PyInit_parlow() { return nullptr; }
