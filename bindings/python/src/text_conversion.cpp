#include "text_conversion.h"

#include <bit>
#include <cstdio>

#include "platform/codepage932.h"

namespace corvane_python {

namespace {

constexpr Py_UCS4 kEscapedFirst = platform::cp932::kEscapeBase + 0x80;
constexpr Py_UCS4 kEscapedLast = platform::cp932::kEscapeBase + 0xFF;

bool isSurrogate(Py_UCS4 c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

[[noreturn]] void raiseLoneSurrogate(std::string_view memberName, Py_UCS4 c) {
    char code[8];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
    throw py::value_error(std::string(memberName) + " cannot carry the lone surrogate U+" + code +
                          ": only U+DC80..U+DCFF stand for bytes without a character");
}

}  // namespace

py::str toPython(std::u16string_view text) {
    // "surrogatepass" keeps lone surrogates as they are; a pair becomes one character.
    int byteOrder = std::endian::native == std::endian::little ? -1 : 1;
    PyObject* str = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text.data()),
                                          static_cast<Py_ssize_t>(text.size() * 2), "surrogatepass",
                                          &byteOrder);
    if (!str)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(str);
}

std::u16string fromPython(py::handle text, std::string_view memberName) {
    PyObject* str = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    std::u16string out;
    if (kind == PyUnicode_1BYTE_KIND) {  // Latin-1 only: no surrogate, unit for unit
        const auto* latin1 = static_cast<const Py_UCS1*>(data);
        out.assign(latin1, latin1 + length);
        return out;
    }
    out.reserve(static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else if (isSurrogate(c) && (c < kEscapedFirst || c > kEscapedLast)) {
            raiseLoneSurrogate(memberName, c);
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace corvane_python
