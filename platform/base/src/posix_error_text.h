// Japanese text for an errno value, for the descriptions of file and module failures.
#pragma once

#include <string>

namespace platform {

std::u16string posixErrorText(int errorNumber);

}  // namespace platform
