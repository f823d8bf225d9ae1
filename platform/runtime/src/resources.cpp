#include "platform/resources.h"

#include <algorithm>

#include "platform/module_runtime.h"

namespace platform {

namespace {

bool sameType(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return ResourceId::asciiUpper(x) == ResourceId::asciiUpper(y);
    });
}

}  // namespace

std::optional<ResourceBytes> findResource(const LibraryRecord& record, std::string_view type,
                                          const ResourceId& id) {
    for (const ResourceRecord& resource : record.resources) {
        if (sameType(resource.type, type) && resource.id == id)
            return ResourceBytes(resource.data, resource.size);
    }
    return std::nullopt;
}

std::optional<ResourceBytes> findResource(const std::filesystem::path& modulePath,
                                          std::string_view type, const ResourceId& id) {
    const LibraryRecord* record = findModuleRecord(modulePath);
    if (!record)
        return std::nullopt;
    return findResource(*record, type, id);
}

std::optional<ResourceBytes> findResource(void* moduleHandle, std::string_view type,
                                          const ResourceId& id) {
    const LibraryRecord* record = findModuleRecord(moduleHandle);
    if (!record)
        return std::nullopt;
    return findResource(*record, type, id);
}

}  // namespace platform
