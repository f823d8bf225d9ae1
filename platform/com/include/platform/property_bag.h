// The host's keyed store of typed values through which a control saves and restores its
// properties.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <string_view>

#include "platform/variant.h"

namespace platform {

class CORVANE_PLATFORM_EXPORT PropertyBag {
  public:
    virtual ~PropertyBag() = default;

    // The value stored under `name`, or `defaultValue` when the key is absent. Throws
    // platform::Error on failure.
    virtual Variant Read(std::u16string_view name, const Variant& defaultValue) = 0;

    // Stores `value` under `name`. A bag may leave out a value equal to `defaultValue`,
    // since reading the absent key gives that default back. Throws platform::Error on
    // failure.
    virtual void Write(std::u16string_view name, const Variant& value,
                       const Variant& defaultValue) = 0;
};

}  // namespace platform
