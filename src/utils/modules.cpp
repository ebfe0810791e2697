#include "utils/modules.hpp"

#include "utils/compat.hpp"

#include <algorithm>
#include <array>

namespace vesk::utils {

namespace {

// The modules the import machinery has handed over complete, by name: a weak reference to each. Any
// other module found in sys.modules may be one that another thread is still importing (it is entered
// there before its code runs), and only the import machinery waits for that import to finish. A weak
// reference to a module that is gone no longer matches anything, so a new module at its address is
// never taken for it. Interned names live as long as the process, so their addresses identify them.
// Changed under the interpreter lock only; the references are deliberately never released.
struct Complete {
    PyObject* name;
    PyObject* module;  // weak reference
};
std::array<Complete, 32> complete{};
size_t complete_count = 0;

Complete* complete_entry(PyObject* name) noexcept {
    auto end = complete.begin() + static_cast<std::ptrdiff_t>(complete_count);
    auto found = std::find_if(complete.begin(), end, [name](const Complete& entry) { return entry.name == name; });
    return found == end ? nullptr : &*found;
}

bool known_complete(PyObject* name, PyObject* module) noexcept {
    Complete* entry = complete_entry(name);
    return entry != nullptr && weakref_refers_to(entry->module, module);
}

void remember_complete(PyObject* name, PyObject* module) noexcept {
    PyObject* reference = PyWeakref_NewRef(module, nullptr);
    if (reference == nullptr) {
        PyErr_Clear();  // Intended: a module object without weak references is looked up the slow way.
        return;
    }
    if (Complete* entry = complete_entry(name); entry != nullptr) {
        Py_SETREF(entry->module, reference);
    } else if (complete_count < complete.size()) {
        complete[complete_count++] = Complete{name, reference};
    } else {
        Py_DECREF(reference);
    }
}

}  // namespace

Result<PyRef> import_module(PyObject* name) noexcept {
    // The import machinery costs a microsecond or so even for a module it already has (and so does
    // PyImport_GetModule, which asks the module's spec whether it is still initialising, raising and
    // clearing an AttributeError each time); the serialiser alone is looked up twice for every
    // recorded event. So a module already handed over complete is taken from sys.modules directly.
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (found != nullptr && found != Py_None && known_complete(name, found)) {
        return PyRef::borrow(found);
    }
    if (PyErr_Occurred()) {
        return PyError::fetch();
    }
    // Absent, None (an import blocked on purpose), or not known complete: the import machinery says
    // what to do, and waits for an import under way in another thread.
    auto module = checked(PyImport_Import(name));
    if (module) {
        remember_complete(name, module->get());
    }
    return module;
}

Result<PyRef> module_attribute(PyObject* module, PyObject* attribute) noexcept {
    auto imported = import_module(module);
    if (!imported) {
        return imported;
    }
    return checked(PyObject_GetAttr(imported->get(), attribute));
}

}  // namespace vesk::utils
