// The platform::Error that the exception being handled stands for, for a catch (...) at
// a component boundary that needs the error itself rather than its HRESULT.
#pragma once

#include "platform/error.h"

namespace platform {

// An Error as is, std::bad_alloc as 7, anything else as 440. Call only inside a catch.
Error currentError();

}  // namespace platform
