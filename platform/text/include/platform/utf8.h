// UTF-8 <-> UTF-16 for file names and diagnostics (invalid input is replaced, never fails).
// A lone surrogate becomes U+FFFD in UTF-8; each maximal ill-formed part of a UTF-8
// sequence (overlong forms, encoded surrogates, values above U+10FFFF, cut-off sequences,
// stray continuation bytes) becomes one U+FFFD.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <string>
#include <string_view>

namespace platform {

CORVANE_PLATFORM_EXPORT std::string toUtf8(std::u16string_view text);
CORVANE_PLATFORM_EXPORT std::u16string fromUtf8(std::string_view text);

}  // namespace platform
