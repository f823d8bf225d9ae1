#include "value_conversion.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "control_error.h"
#include "platform/error.h"
#include "platform/type_library.h"
#include "text_conversion.h"

namespace corvane_python {

namespace {

using platform::VarType;

bool isNumber(VarType type) {
    switch (type) {
        case VarType::Integer:
        case VarType::Long:
        case VarType::Single:
        case VarType::Double:
        case VarType::Byte:
        case VarType::Boolean:
            return true;
        default:
            return false;
    }
}

bool isBytesLike(py::handle value) {
    return PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) ||
           PyMemoryView_Check(value.ptr());
}

// Whether a member of `type` takes a Python value of this kind at all.
bool accepts(VarType type, py::handle value) {
    if (value.is_none() || type == platform::kVarTypeVariant)
        return true;
    const bool number = PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
    if (isNumber(type))
        return number;
    if (type == VarType::String)
        return PyUnicode_Check(value.ptr());
    if (type == VarType::ByteArray)
        return isBytesLike(value);
    return true;
}

platform::Variant fromInt(py::handle value) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow == 0 && n >= INT32_MIN && n <= INT32_MAX)
        return platform::Variant::fromLong(static_cast<int32_t>(n));
    const double d = PyLong_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raiseError(platform::Error(platform::errors::kOverflow));
    }
    return platform::Variant::fromDouble(d);
}

platform::ByteArray bytesOf(py::handle value) {
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0)
        throw py::error_already_set();
    const auto* data = static_cast<const uint8_t*>(view.buf);
    platform::ByteArray bytes(data, data + view.len);
    PyBuffer_Release(&view);
    return bytes;
}

}  // namespace

std::string typeDescription(VarType type) {
    switch (type) {
        case VarType::Empty:
            return "Empty (None)";
        case VarType::Integer:
            return "Integer (int)";
        case VarType::Long:
            return "Long (int)";
        case VarType::Single:
            return "Single (float)";
        case VarType::Double:
            return "Double (float)";
        case VarType::String:
            return "String (str)";
        case VarType::Boolean:
            return "Boolean (bool)";
        case VarType::Byte:
            return "Byte (int)";
        case VarType::ByteArray:
            return "Byte array (bytes)";
        default:
            break;
    }
    if (type == platform::kVarTypeVariant)
        return "Variant (str, bytes, int, float, bool or None)";
    if (type == platform::kVarTypeVoid)
        return "nothing";
    return "type " + std::to_string(static_cast<unsigned>(type));
}

platform::Variant toVariant(py::handle value, VarType memberType, std::string_view memberName) {
    if (!accepts(memberType, value)) {
        throw py::type_error(std::string(memberName) + " takes " + typeDescription(memberType) +
                             ", not " + Py_TYPE(value.ptr())->tp_name);
    }
    if (value.is_none())
        return {};
    // A number given to a Boolean member is true or false as Python's bool() says (2**100
    // and inf are true); NaN is neither, and is refused.
    if (memberType == VarType::Boolean && !PyBool_Check(value.ptr()) &&
        (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))) {
        if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr())))
            throw py::value_error(std::string(memberName) +
                                  " takes no NaN: it is neither true nor false");
        return platform::Variant::fromBoolean(PyObject_IsTrue(value.ptr()) != 0 ? platform::kTrue
                                                                                : platform::kFalse);
    }
    if (PyBool_Check(value.ptr()))
        return platform::Variant::fromBoolean(value.ptr() == Py_True ? platform::kTrue
                                                                     : platform::kFalse);
    if (PyLong_Check(value.ptr()))
        return fromInt(value);
    if (PyFloat_Check(value.ptr()))
        return platform::Variant::fromDouble(PyFloat_AS_DOUBLE(value.ptr()));
    if (PyUnicode_Check(value.ptr()))
        return platform::Variant::fromString(fromPython(value, memberName));
    if (isBytesLike(value))
        return platform::Variant::fromBytes(bytesOf(value));
    throw py::type_error(std::string(memberName) +
                         " takes str, bytes, bytearray, int, float, bool or None, not " +
                         Py_TYPE(value.ptr())->tp_name);
}

py::object fromVariant(const platform::Variant& value) {
    switch (value.type()) {
        case VarType::Empty:
        case VarType::Null:
            return py::none();
        case VarType::Integer:
            return py::int_(value.integerValue());
        case VarType::Long:
            return py::int_(value.longValue());
        case VarType::Byte:
            return py::int_(value.byteValue());
        case VarType::Single:
            return py::float_(value.singleValue());
        case VarType::Double:
            return py::float_(value.doubleValue());
        case VarType::Boolean:
            return py::bool_(value.integerValue() != platform::kFalse);
        case VarType::String:
            return toPython(value.stringValue());
        case VarType::ByteArray: {
            const platform::ByteArray& bytes = value.bytesValue();
            return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
    }
    raiseError(platform::Error(platform::errors::kUnsupportedAutomationType));
}

}  // namespace corvane_python
