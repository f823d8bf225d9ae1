#include "control_error.h"

#include <optional>
#include <utility>

#include "text_conversion.h"

namespace corvane_python {

namespace {

py::object& errorClass() {
    // Leaked on purpose: the interpreter may already be finalising when the last control
    // goes, and a Python object must not be released after that.
    static py::object* cls = new py::object;
    return *cls;
}

// A thread's pending exception waits in its thread state's dict: it is the thread's own,
// and Python frees what the dict holds when the thread ends (and at its own end).
PyObject* pendingStore() {
    return PyThreadState_GetDict();
}

PyObject* pendingKey() {
    // Never released, like the error class.
    static PyObject* const key = PyUnicode_InternFromString("corvane.pending_interrupt");
    return key;
}

py::object orNone(const py::object& object) {
    return object ? object : py::none();
}

}  // namespace

void setErrorClass(py::object cls) {
    errorClass() = std::move(cls);
}

void raiseError(int32_t number, const std::u16string& description, const std::u16string& source) {
    const std::u16string text =
        description.empty() ? platform::standardDescription(number) : description;
    py::object error = errorClass()(number, toPython(text), toPython(source));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void raiseError(const platform::Error& error) {
    raiseError(error.number(), error.description(), {});
}

void raiseInvokeFailure(platform::HRESULT hr, const platform::ExcepInfo& excepInfo) {
    std::u16string source = excepInfo.source;
    if (hr != platform::DISP_E_EXCEPTION) {
        // throwFromInvoke takes the thread's error info; keep its source for the message.
        if (std::optional<platform::ErrorInfo> info = platform::takeErrorInfo()) {
            source = info->source;
            platform::setErrorInfo(std::move(*info));
        }
    }
    try {
        platform::throwFromInvoke(hr, excepInfo);
    } catch (const platform::Error& error) {
        raiseError(error.number(), error.description(), source);
    }
}

void setPendingInterrupt(py::error_already_set&& error) {
    PyObject* store = pendingStore();
    if (!store || PyDict_Contains(store, pendingKey()) != 0)
        return;  // the first one is kept
    const py::tuple saved =
        py::make_tuple(error.type(), orNone(error.value()), orNone(error.trace()));
    // Called where the handler's call returns into the control: nothing may be thrown
    // there, and without the memory to keep it the exception is lost.
    if (PyDict_SetItem(store, pendingKey(), saved.ptr()) != 0)
        PyErr_Clear();
}

void reportHandlerException(py::error_already_set& error, const std::string& where) {
    try {
        py::module_::import("sys").attr("stderr").attr("write")("corvane: exception in " + where +
                                                                ":\n");
        py::module_::import("traceback")
            .attr("print_exception")(error.type(), error.value(), error.trace());
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
}

void raisePendingInterrupt() {
    PyObject* store = pendingStore();
    PyObject* found = store ? PyDict_GetItemWithError(store, pendingKey()) : nullptr;
    if (!found) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        return;
    }
    const auto saved = py::reinterpret_borrow<py::tuple>(found);
    if (PyDict_DelItem(store, pendingKey()) != 0)
        throw py::error_already_set();
    // A traceback of None is taken as none.
    PyErr_Restore(py::object(saved[0]).release().ptr(), py::object(saved[1]).release().ptr(),
                  py::object(saved[2]).release().ptr());
    throw py::error_already_set();
}

}  // namespace corvane_python
