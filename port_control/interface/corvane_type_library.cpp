#include "interface/corvane_type_library.h"

#include "portula/portula_ids.h"
#include "portula_properties.h"

namespace port_control {

namespace {
using platform::MemberDescription;
using platform::MemberKind;

using properties::Access;
using properties::kProperties;

// Each property's DISPID follows from its place in the table; hosts compile against the
// published numbers, so every one is checked against them here.
#define PORTULA_PROPERTY(name, ...)                                                          \
    static_assert(properties::dispidAt(properties::indexOf(u## #name)) == ids::dispid::name, \
                  "the DISPID of " #name " differs from the published one");
#include "portula_properties.inc"

platform::InterfaceDescription makePortulaInterface() {
    platform::InterfaceDescription description;
    description.name = u"_Portula";
    description.iid = ids::IID__Portula;
    description.version = {1, 0};
    using namespace platform::type_flags;
    description.flags = kHidden | kDual | kNonExtensible | kOleAutomation | kDispatchable;
    description.kind = platform::InterfaceKind::Dual;
    for (size_t i = 0; i < kProperties.size(); ++i) {
        const properties::Property& property = kProperties[i];
        const std::u16string name(property.name);
        const int32_t dispid = properties::dispidAt(i);
        if (property.access != Access::Get)
            description.members.push_back(MemberDescription{
                name, dispid, MemberKind::PropertyPut, {property.type}, platform::kVarTypeVoid});
        if (property.access != Access::Put)
            description.members.push_back(
                MemberDescription{name, dispid, MemberKind::PropertyGet, {}, property.type});
    }
    return description;
}

platform::InterfaceDescription makePortulaEvents() {
    platform::InterfaceDescription description;
    description.name = u"__Portula";
    description.iid = ids::DIID___Portula;
    description.version = {1, 0};
    using namespace platform::type_flags;
    description.flags = kHidden | kNonExtensible | kDispatchable;
    description.kind = platform::InterfaceKind::Dispatch;
    description.members.push_back(MemberDescription{
        u"OnComm", ids::dispid::OnComm, MemberKind::Method, {}, platform::kVarTypeVoid});
    return description;
}

platform::TypeLibrary makeTypeLibrary() {
    platform::TypeLibrary library;
    library.setName(u"Corvane");
    library.setHelpString(u"Corvane");
    library.setGuid(ids::LIBID_Corvane);
    library.setVersion({ids::kTypeLibMajor, ids::kTypeLibMinor});
    library.setLcid(0x0409);
    library.setFlags(platform::library_flags::kControl);
    library.setSysKind(platform::SysKind::Win32);
    // The platform's standard automation library, which defines IDispatch.
    library.imports().push_back(
        {u"stdole",
         platform::Guid{0x00020430, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
         {2, 0}});
    library.interfaces() = {makePortulaInterface(), makePortulaEvents()};
    platform::CoclassDescription portula;
    portula.name = u"Portula";
    portula.clsid = ids::CLSID_Portula;
    portula.version = {1, 0};
    portula.flags = platform::type_flags::kControl;
    portula.interfaces = {
        {ids::IID__Portula, platform::impl_flags::kDefault},
        {ids::DIID___Portula, platform::impl_flags::kDefault | platform::impl_flags::kSource}};
    library.coclasses() = {portula};
    library.validate();
    return library;
}
}  // namespace

const platform::TypeLibrary& corvaneTypeLibrary() {
    static const platform::TypeLibrary library = makeTypeLibrary();
    return library;
}

const platform::InterfaceDescription& portulaInterface() {
    return *corvaneTypeLibrary().findInterface(ids::IID__Portula);
}

const platform::InterfaceDescription& portulaEvents() {
    return *corvaneTypeLibrary().findInterface(ids::DIID___Portula);
}

const std::vector<uint8_t>& corvaneTypeLibraryBytes() {
    static const std::vector<uint8_t> bytes = platform::serializeTypeLibrary(corvaneTypeLibrary());
    return bytes;
}

}  // namespace port_control
