#include "utils/qualname.hpp"
#include "utils/modules.hpp"

#include <new>
#include <string_view>

#include "utils/bytes.hpp"
#include "utils/interned.hpp"
#include "utils/pyref.hpp"

namespace vesk::utils {

namespace {

using Name = Result<std::optional<std::string>>;

PyError out_of_memory() noexcept {
    PyErr_NoMemory();
    return PyError::fetch();
}

Result<PyRef> get_attr(PyObject* object, PyObject* name) noexcept { return checked(PyObject_GetAttr(object, name)); }

Result<PyRef> get_item(PyObject* mapping, PyObject* key) noexcept { return checked(PyObject_GetItem(mapping, key)); }

bool is_key_error(const PyError& error) noexcept { return error.matches(PyExc_KeyError); }

std::string unprintable(PyObject* value) {
    std::string_view type_name = Py_TYPE(value)->tp_name;
    if (lossy_utf8(type_name) != type_name) {
        return "<unprintable object>";
    }
    std::string text = "<unprintable ";
    text += type_name;
    text += " object>";
    return text;
}

// The str() of a value as it goes into a name. A value that cannot be shown must not cost the
// whole name: its error goes to the unraisable hook and a placeholder stands in.
std::string text_form(PyObject* value) {
    auto text = checked(PyObject_Str(value));
    if (!text) {
        std::move(text.error()).discard_as_unraisable(value);
        return unprintable(value);
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text->get(), &size); utf8 != nullptr) {
        return std::string(utf8, static_cast<size_t>(size));
    }
    // Intended: lone surrogates have no UTF-8 form; keep them through "surrogatepass" and let the
    // lossy decoding below turn them into replacement characters.
    PyErr_Clear();
    auto encoded = checked(PyUnicode_AsEncodedString(text->get(), "utf-8", "surrogatepass"));
    if (!encoded) {
        std::move(encoded.error()).discard_as_unraisable(value);
        return unprintable(value);
    }
    return lossy_utf8(
        std::string_view(PyBytes_AS_STRING(encoded->get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded->get()))));
}

std::string dotted(PyObject* module, PyObject* qualname) {
    std::string name = text_form(module);
    name += '.';
    name += text_form(qualname);
    return name;
}

// "<__module__>.<__qualname__>" of a function or other named object.
Name name_of(PyObject* object) {
    auto module = get_attr(object, interned().dunder_module);
    VESK_TRY(module);
    auto qualname = get_attr(object, interned().dunder_qualname);
    VESK_TRY(qualname);
    return dotted(module->get(), qualname->get());
}

// The "__name__" entry of the frame's globals: the module name; empty when the globals have none.
// Code run in a namespace of its own (exec with a fresh dict, a template engine's compiled
// templates) has none, and is no less the program's: taken for an error, each of its events was
// dropped with a warning whose text ran the reprs of the frame's locals (one of them read ahead in a
// jinja2 template's loop, and changed what the template rendered).
Result<PyRef> module_name_of(PyObject* globals) noexcept {
    auto name = get_item(globals, interned().dunder_name);
    if (!name && is_key_error(name.error())) {
        return PyRef();
    }
    return name;
}

Result<PyRef> module_name_of_frame(PyObject* frame) noexcept {
    auto globals = get_attr(frame, interned().f_globals);
    VESK_TRY(globals);
    return module_name_of(globals->get());
}

// Step 1: the caller holds the function in a local of the same name (nested functions).
// Empty optional: not found that way, go on.
std::optional<Name> from_caller_scope(PyObject* frame, PyObject* co_name) {
    auto back = get_attr(frame, interned().f_back);
    if (!back) {
        return Name(std::move(back.error()));
    }
    if (back->get() == Py_None) {
        return Name(std::nullopt);
    }
    auto caller_locals = get_attr(back->get(), interned().f_locals);
    if (!caller_locals) {
        return Name(std::move(caller_locals.error()));
    }
    auto function = get_item(caller_locals->get(), co_name);
    if (function) {
        return name_of(function->get());
    }
    if (is_key_error(function.error())) {
        return std::nullopt;
    }
    return Name(std::nullopt);  // any other lookup failure: no name, by design of the heuristic
}

// Step 3: an instance method, found through the class without running descriptors.
std::optional<Name> from_self(PyObject* locals, PyObject* getattr_static, PyObject* co_name) {
    auto self = get_item(locals, interned().self);
    if (!self) {
        if (is_key_error(self.error())) {
            return std::nullopt;
        }
        return Name(std::nullopt);
    }
    auto attribute = checked(PyObject_CallFunctionObjArgs(getattr_static, self->get(), co_name, nullptr));
    if (!attribute) {
        return Name(std::move(attribute.error()));
    }
    auto builtins = import_module(interned().module_builtins);
    if (!builtins) {
        return Name(std::move(builtins.error()));
    }
    auto property = get_attr(builtins->get(), interned().property);
    if (!property) {
        return Name(std::move(property.error()));
    }
    const int is_property = PyObject_IsInstance(attribute->get(), property->get());
    if (is_property < 0) {
        return Name(PyError::fetch());
    }
    if (is_property == 1) {
        auto getter = get_attr(attribute->get(), interned().fget);
        if (!getter) {
            return Name(std::move(getter.error()));
        }
        return name_of(getter->get());
    }
    return name_of(attribute->get());
}

// Step 4: a class method, when "cls" really holds a class.
std::optional<Name> from_cls(PyObject* locals, PyObject* getattr_static, PyObject* co_name) {
    auto cls = get_item(locals, interned().cls);
    if (!cls) {
        if (is_key_error(cls.error())) {
            return std::nullopt;
        }
        return Name(std::nullopt);
    }
    if (!PyType_Check(cls->get())) {
        return std::nullopt;
    }
    auto attribute = checked(PyObject_CallFunctionObjArgs(getattr_static, cls->get(), co_name, nullptr));
    if (!attribute) {
        return Name(std::move(attribute.error()));
    }
    return name_of(attribute->get());
}

// Step 5: a class body (its locals carry "__qualname__") or a function defined at module level.
Name from_globals(PyObject* frame, PyObject* locals, PyObject* co_name) {
    auto globals = get_attr(frame, interned().f_globals);
    VESK_TRY(globals);
    auto class_qualname = get_item(locals, interned().dunder_qualname);
    if (class_qualname) {
        auto module = get_item(globals->get(), interned().dunder_name);
        VESK_TRY(module);
        return dotted(module->get(), class_qualname->get());
    }
    if (!is_key_error(class_qualname.error())) {
        return std::nullopt;
    }
    auto function = get_item(globals->get(), co_name);
    VESK_TRY(function);
    return name_of(function->get());
}

Name get_qualname_inner_impl(PyObject* frame, PyObject* co_name) {
    if (auto found = from_caller_scope(frame, co_name)) {
        return std::move(*found);
    }
    auto locals = get_attr(frame, interned().f_locals);
    VESK_TRY(locals);
    auto inspect = import_module(interned().module_inspect);
    VESK_TRY(inspect);
    auto getattr_static = get_attr(inspect->get(), interned().getattr_static);
    VESK_TRY(getattr_static);
    if (auto found = from_self(locals->get(), getattr_static->get(), co_name)) {
        return std::move(*found);
    }
    if (auto found = from_cls(locals->get(), getattr_static->get(), co_name)) {
        return std::move(*found);
    }
    return from_globals(frame, locals->get(), co_name);
}

// The common case, a real frame on an interpreter whose code objects carry "co_qualname": the same
// reads as below, without the generic attribute lookups.
Name direct_qualname(PyFrameObject* frame) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    const bool plain_dict = PyDict_CheckExact(globals.get());
    PyObject* module = plain_dict ? PyDict_GetItemWithError(globals.get(), interned().dunder_name) : nullptr;
    if (module == nullptr) {
        if (PyErr_Occurred() != nullptr) {
            return PyError::fetch();
        }
        if (plain_dict) {
            return std::nullopt;  // no "__name__": looked up, not raised and discarded at every event
        }
        auto item = module_name_of(globals.get());
        VESK_TRY(item);
        if (!*item) {
            return std::nullopt;
        }
        return dotted(item->get(), reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
    }
    PyRef held = PyRef::borrow(module);  // str() of it may run code that changes the globals
    return dotted(held.get(), reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
}

Name get_qualname_impl(PyObject* frame) {
    if (Py_IS_TYPE(frame, &PyFrame_Type)) {
        return direct_qualname(reinterpret_cast<PyFrameObject*>(frame));
    }
    auto code = get_attr(frame, interned().f_code);
    VESK_TRY(code);
    auto qualname = get_attr(code->get(), interned().co_qualname);
    if (qualname) {
        auto module = module_name_of_frame(frame);
        VESK_TRY(module);
        if (!*module) {
            return std::nullopt;
        }
        return dotted(module->get(), qualname->get());
    }
    if (!qualname.error().matches(PyExc_AttributeError)) {
        return std::move(qualname.error());
    }
    // No "co_qualname" on this interpreter: rebuild the name from the frame's surroundings.
    auto co_name = get_attr(code->get(), interned().co_name);
    VESK_TRY(co_name);
    if (!PyUnicode_Check(co_name->get())) {
        return conversion_error(co_name->get(), "PyString");
    }
    Py_ssize_t size = 0;
    const char* co_name_text = PyUnicode_AsUTF8AndSize(co_name->get(), &size);
    if (co_name_text == nullptr) {
        return PyError::fetch();
    }
    if (std::string_view(co_name_text, static_cast<size_t>(size)) == "<module>") {
        auto module = module_name_of_frame(frame);
        VESK_TRY(module);
        if (!*module) {
            return std::nullopt;
        }
        return text_form(module->get()) + ".<module>";
    }
    auto inner = get_qualname_inner_impl(frame, co_name->get());
    if (!inner) {
        return std::nullopt;  // the heuristics are a best effort: their failures only mean "no name"
    }
    return inner;
}

}  // namespace

Result<std::optional<std::string>> get_qualname(PyObject* frame) noexcept {
    try {
        return get_qualname_impl(frame);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

Result<std::optional<std::string>> get_qualname_inner(PyObject* frame, PyObject* co_name) noexcept {
    try {
        return get_qualname_inner_impl(frame, co_name);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    }
}

}  // namespace vesk::utils
