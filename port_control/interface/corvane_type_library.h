// The type library of Corvane: the class Portula, its dual interface _Portula and its
// event interface __Portula. It serves name lookup and Invoke, and its byte form is the
// library's TYPELIB resource.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/type_library.h"

namespace port_control {

const platform::TypeLibrary& corvaneTypeLibrary();
const platform::InterfaceDescription& portulaInterface();  // _Portula
const platform::InterfaceDescription& portulaEvents();     // __Portula
// serializeTypeLibrary(corvaneTypeLibrary()), made once.
const std::vector<uint8_t>& corvaneTypeLibraryBytes();

}  // namespace port_control
