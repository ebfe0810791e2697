// Where every recording failure ends: a warning on the "vesk" logger, with the exception attached.
#include "profiler/profiler.hpp"

#include "utils/frames.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::interned;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

// Each local's type, never its value: warnings go to stderr and CI logs, and a frame's locals hold
// what the recording exists to keep private (passwords, tokens) until the serialiser redacted them.
Result<PyRef> local_types(PyObject* frame) noexcept {
    auto locals = utils::frame_locals(frame);
    VESK_TRY(locals);
    auto types = checked(PyDict_New());
    VESK_TRY(types);
    auto items = checked(PyMapping_Items(locals->get()));
    VESK_TRY(items);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items->get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items->get(), i);
        auto type_name = checked(PyType_GetQualName(Py_TYPE(PyTuple_GET_ITEM(item, 1))));
        VESK_TRY(type_name);
        if (PyDict_SetItem(types->get(), PyTuple_GET_ITEM(item, 0), type_name->get()) < 0) {
            return PyError::fetch();
        }
    }
    return types;
}

// CAUTION: runs Python code (logging handlers and formatters). The four values are left for logging
// to format, so nothing is turned into text unless the record is emitted.
Status log_warning(const PyError& error, PyObject* frame, utils::Event event, const EventCode& code) noexcept {
    utils::may_run_python();
    auto logging = utils::import_module(interned().module_logging);
    VESK_TRY(logging);
    auto logger = checked(PyObject_CallMethodOneArg(logging->get(), interned().get_logger, interned().vesk));
    VESK_TRY(logger);
    // A broken invariant may be that the frame is none: then it has no locals to show.
    auto locals = Py_IS_TYPE(frame, &PyFrame_Type) ? local_types(frame) : Result<PyRef>(PyRef::borrow(Py_None));
    VESK_TRY(locals);
    auto keywords = checked(PyDict_New());
    VESK_TRY(keywords);
    if (PyDict_SetItem(keywords->get(), interned().exc_info, error.value()) < 0) {
        return PyError::fetch();
    }
    auto warning = checked(PyObject_GetAttr(logger->get(), interned().warning));
    VESK_TRY(warning);
    auto event_name = checked(PyUnicode_FromStringAndSize(utils::event_name(event).data(),
                                                          static_cast<Py_ssize_t>(utils::event_name(event).size())));
    VESK_TRY(event_name);
    auto arguments =
        checked(PyTuple_Pack(5, interned().log_template, code.filename, code.name, event_name->get(), locals->get()));
    VESK_TRY(arguments);
    auto logged = checked(PyObject_Call(warning->get(), arguments->get(), keywords->get()));
    VESK_TRY(logged);
    return {};
}

}  // namespace

Status Profiler::log_error(PyError error, PyObject* frame, utils::Event event, const EventCode& code) noexcept {
    if (auto logged = log_warning(error, frame, event, code); !logged) {
        if (!logged.error().matches(PyExc_Exception)) {
            return logged;  // a signal's handler raised it while the handlers ran: the program's own
        }
        // Reporting itself failed: no recording failure may cross the profile callback, so the
        // interpreter's unraisable hook gets the reporting failure, naming the frame it was about.
        std::move(logged.error()).discard_as_unraisable(frame);
    }
    return {};
}

}  // namespace vesk::profiler
