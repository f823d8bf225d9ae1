#include "interface/registration_record.h"

#include <vector>

#include "interface/corvane_type_library.h"
#include "interface/portula_object.h"
#include "interface/resource_data.h"
#include "portula/portula_ids.h"

namespace port_control {

namespace {
platform::ModuleCounter g_counter;

HRESULT createPortula(const platform::Guid& iid, void** object) {
    return PortulaObject::create(g_counter, iid, object);
}

const platform::ClassRecord kClasses[] = {{
    .name = "Portula",
    .clsid = ids::CLSID_Portula,
    .progId = "Corvane.Portula",
    .iidDefault = ids::IID__Portula,
    .iidSource = ids::DIID___Portula,
    .raisesEvents = true,
    .toolboxBitmapId = kToolboxBitmapId,
    .isDesigner = false,
    .miscStatus = PortulaObject::kMiscStatus,
    .createInstance = &createPortula,
}};

std::vector<platform::ResourceRecord> makeResources() {
    const std::vector<uint8_t>& typeLibrary = corvaneTypeLibraryBytes();
    std::vector<platform::ResourceRecord> resources{
        {"TYPELIB", 1u, typeLibrary.data(), typeLibrary.size()}};
    const auto others = corvaneResources();
    resources.insert(resources.end(), others.begin(), others.end());
    return resources;
}
}  // namespace

const platform::LibraryRecord& corvaneLibraryRecord() {
    static const std::vector<platform::ResourceRecord> resources = makeResources();
    static const platform::LibraryRecord record{
        .name = "Corvane",
        .description = "Corvane",
        .helpDir = "",
        .typeLibId = ids::LIBID_Corvane,
        .versionMajor = ids::kTypeLibMajor,
        .versionMinor = ids::kTypeLibMinor,
        .lcid = 0,  // registered language-neutral
        .threadingModel = "Apartment",
        .classes = kClasses,
        .resources = resources,
        .counter = g_counter,
    };
    return record;
}

}  // namespace port_control
