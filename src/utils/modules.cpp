#include "utils/modules.hpp"

namespace vesk::utils {

Result<PyRef> import_module(PyObject* name) noexcept {
    // The import machinery costs a microsecond or so even for a module it already has (and so does
    // PyImport_GetModule, which asks the module's spec whether it is still initialising, raising and
    // clearing an AttributeError each time); the serialiser alone is looked up twice for every
    // recorded event. So sys.modules is read directly.
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (found != nullptr && found != Py_None) {
        return PyRef::borrow(found);
    }
    if (PyErr_Occurred()) {
        return PyError::fetch();
    }
    // Absent, or None (an import blocked on purpose): the import machinery says what to do.
    return checked(PyImport_Import(name));
}

Result<PyRef> module_attribute(PyObject* module, PyObject* attribute) noexcept {
    auto imported = import_module(module);
    if (!imported) {
        return imported;
    }
    return checked(PyObject_GetAttr(imported->get(), attribute));
}

}  // namespace vesk::utils
