// Resources compiled into a component library (type library, interface identifier
// records, toolbox bitmap, design-surface picture, version information), found by type
// and id in the library's registration record.
//
// A module's record is known to the process while the module is loaded (its
// ModuleRecordRegistrar, platform/module_runtime.h); the bytes returned stay valid as long
// as the module stays loaded. Types and names compare without regard to ASCII case.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "platform/module_record.h"

namespace platform {

using ResourceBytes = std::span<const uint8_t>;

CORVANE_PLATFORM_EXPORT std::optional<ResourceBytes> findResource(const LibraryRecord& record,
                                                                  std::string_view type,
                                                                  const ResourceId& id);
// The loaded module at `modulePath`; nullopt also when no such module is loaded.
CORVANE_PLATFORM_EXPORT std::optional<ResourceBytes> findResource(
    const std::filesystem::path& modulePath, std::string_view type, const ResourceId& id);
// The module `dlopen` returned `moduleHandle` for.
CORVANE_PLATFORM_EXPORT std::optional<ResourceBytes> findResource(void* moduleHandle,
                                                                  std::string_view type,
                                                                  const ResourceId& id);

}  // namespace platform
