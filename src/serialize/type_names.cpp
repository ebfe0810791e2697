#include "serialize/type_names.hpp"

#include "serialize/text.hpp"
#include "utils/interned.hpp"

namespace vesk::serialize {

using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

Result<PyRef> read_descriptor(PyObject* descriptor, PyTypeObject* type) noexcept {
    return utils::checked(
        Py_TYPE(descriptor)
            ->tp_descr_get(descriptor, reinterpret_cast<PyObject*>(type), reinterpret_cast<PyObject*>(Py_TYPE(type))));
}

Status append_text(Output& out, PyObject* text) noexcept {
    auto points = code_points(text);
    VESK_TRY(points);
    append_utf8(out, *points, points->length);
    return {};
}

}  // namespace

Result<PyRef> type_module(PyTypeObject* type, const Hooks& hooks) noexcept {
    return read_descriptor(hooks.module_getter, type);
}

Status append_type_name(Output& out, PyTypeObject* type, const Hooks& hooks) noexcept {
    auto qualname = read_descriptor(hooks.qualname_getter, type);
    VESK_TRY(qualname);
    auto module = type_module(type, hooks);
    VESK_TRY(module);
    if (PyUnicode_CheckExact(module->get()) && PyUnicode_CheckExact(qualname->get())) {
        // Both exact str: comparing and joining them runs no code, so it is done here.
        if (PyUnicode_Compare(module->get(), utils::interned().module_builtins) != 0) {
            if (auto status = append_text(out, module->get()); !status) {
                return status;
            }
            out.append(".");
        }
        return append_text(out, qualname->get());
    }
    auto name = utils::checked(PyObject_CallOneArg(hooks.type_name, reinterpret_cast<PyObject*>(type)));
    VESK_TRY(name);
    auto formatted = utils::checked(PyObject_Format(name->get(), nullptr));
    VESK_TRY(formatted);
    return append_text(out, formatted->get());
}

}  // namespace vesk::serialize
