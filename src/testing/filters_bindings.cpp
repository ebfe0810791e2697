#include "testing/bindings.hpp"

namespace vesk::testing {

namespace {
PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

int add_filters_bindings(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vesk::testing
