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

std::optional<py::error_already_set>& pendingInterrupt() {
    static auto* pending = new std::optional<py::error_already_set>;
    return *pending;
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
    if (!pendingInterrupt())
        pendingInterrupt().emplace(std::move(error));
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
    if (!pendingInterrupt())
        return;
    py::error_already_set error = std::move(*pendingInterrupt());
    pendingInterrupt().reset();
    throw error;
}

}  // namespace corvane_python
