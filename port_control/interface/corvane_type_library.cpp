#include "interface/corvane_type_library.h"

#include <array>

#include "portula/portula_ids.h"

namespace port_control {

namespace {
using platform::MemberDescription;
using platform::MemberKind;
using platform::VarType;

struct PropertyRow {
    const char16_t* name;
    VarType type;
    bool hasPut;
    bool hasGet;
};

// Interface order; the DISPIDs descend from the first row.
constexpr VarType kString = VarType::String;
constexpr VarType kBoolean = VarType::Boolean;
constexpr VarType kInteger = VarType::Integer;
constexpr VarType kLong = VarType::Long;
constexpr VarType kVariant = platform::kVarTypeVariant;
constexpr std::array<PropertyRow, 30> kProperties{{
    {u"LogFile", kString, true, true},        {u"Settings", kString, true, true},
    {u"Break", kBoolean, true, true},         {u"CDHolding", kBoolean, false, true},
    {u"CommEvent", kInteger, false, true},    {u"CommID", kLong, false, true},
    {u"CommPort", kInteger, true, true},      {u"CTSHolding", kBoolean, false, true},
    {u"DSRHolding", kBoolean, false, true},   {u"DTREnable", kBoolean, true, true},
    {u"EOFEnable", kBoolean, true, true},     {u"Handshaking", kLong, true, true},
    {u"InBufferCount", kInteger, true, true}, {u"InBufferSize", kInteger, true, true},
    {u"InputLen", kInteger, true, true},      {u"InputMode", kLong, true, true},
    {u"NullDiscard", kBoolean, true, true},   {u"OutBufferCount", kInteger, true, true},
    {u"OutBufferSize", kInteger, true, true}, {u"ParityReplace", kString, true, true},
    {u"RThreshold", kInteger, true, true},    {u"RTSEnable", kBoolean, true, true},
    {u"SThreshold", kInteger, true, true},    {u"PortOpen", kBoolean, true, true},
    {u"Output", kVariant, true, false},       {u"Input2", kVariant, false, true},
    {u"UDPUse", kBoolean, true, true},        {u"RemoteHost", kString, true, true},
    {u"RemotePort", kLong, true, true},       {u"LocalPort", kLong, true, true},
}};

platform::InterfaceDescription makePortulaInterface() {
    platform::InterfaceDescription description;
    description.name = u"_Portula";
    description.iid = ids::IID__Portula;
    description.version = {1, 0};
    using namespace platform::type_flags;
    description.flags = kHidden | kDual | kNonExtensible | kOleAutomation | kDispatchable;
    description.kind = platform::InterfaceKind::Dual;
    for (size_t i = 0; i < kProperties.size(); ++i) {
        const PropertyRow& row = kProperties[i];
        const int32_t dispid = 0x68030000 + static_cast<int32_t>(kProperties.size() - 1 - i);
        if (row.hasPut)
            description.members.push_back(MemberDescription{
                row.name, dispid, MemberKind::PropertyPut, {row.type}, platform::kVarTypeVoid});
        if (row.hasGet)
            description.members.push_back(
                MemberDescription{row.name, dispid, MemberKind::PropertyGet, {}, row.type});
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
    library.name = u"Corvane";
    library.helpString = u"Corvane";
    library.guid = ids::LIBID_Corvane;
    library.version = {ids::kTypeLibMajor, ids::kTypeLibMinor};
    library.lcid = 0x0409;
    library.flags = platform::library_flags::kControl;
    library.sysKind = platform::SysKind::Win32;
    // The platform's standard automation library, which defines IDispatch.
    library.imports.push_back(
        {u"stdole",
         platform::Guid{0x00020430, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
         {2, 0}});
    library.interfaces = {makePortulaInterface(), makePortulaEvents()};
    platform::CoclassDescription portula;
    portula.name = u"Portula";
    portula.clsid = ids::CLSID_Portula;
    portula.version = {1, 0};
    portula.flags = platform::type_flags::kControl;
    portula.interfaces = {
        {ids::IID__Portula, platform::impl_flags::kDefault},
        {ids::DIID___Portula, platform::impl_flags::kDefault | platform::impl_flags::kSource}};
    library.coclasses = {portula};
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
