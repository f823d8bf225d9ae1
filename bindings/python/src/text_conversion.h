// The platform's 16-bit text <-> Python str, code unit for code unit.
//
// The platform carries a byte that forms no character as U+DC80 + (byte - 0x80) (code page
// 932's escapes), which is the range Python's "surrogateescape" uses: such a character
// crosses both ways as it is, so text read from a control and written back gives the same
// bytes. A surrogate pair is one character in Python. Any other lone surrogate coming from
// the platform crosses as it is; from Python it raises ValueError, because the platform
// could only write it as "?".
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace corvane_python {

namespace py = pybind11;

py::str toPython(std::u16string_view text);
// `memberName` names what the text was for in the error.
std::u16string fromPython(py::handle text, std::string_view memberName);

}  // namespace corvane_python
