// The registration record of the Corvane library: what the platform runtime registers,
// serves its class factory from and finds the library's resources in.
#pragma once

#include "platform/module_record.h"

namespace port_control {

const platform::LibraryRecord& corvaneLibraryRecord();

}  // namespace port_control
