// Python values <-> the platform's variants.
//
// None <-> Empty, bool <-> Boolean (True -1, False 0), int <-> Integer/Long (an int beyond
// 32 bits travels as a Double so that the control's own conversion reports the overflow),
// float <-> Double/Single, str <-> String, bytes-like -> byte array -> bytes. What a
// member accepts is decided by its published type: a str is no number and a number no
// text, whatever the Basic rules would make of them; such a value raises TypeError naming
// the member before anything is called.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "platform/variant.h"

namespace corvane_python {

namespace py = pybind11;

// `memberType` is the published type of the value (kVarTypeVariant: any supported value).
platform::Variant toVariant(py::handle value, platform::VarType memberType,
                            std::string_view memberName);
py::object fromVariant(const platform::Variant& value);

// The published type as a reader knows it: "Long (int)", "String (str)" ...
std::string typeDescription(platform::VarType type);

}  // namespace corvane_python
