// The type library model: a library of interface and class descriptions that drives name
// lookup and Invoke (see dispatch_table.h), plus a compact versioned byte form for
// carrying it as a resource.
//
// Members are kept in interface order; a property with both accessors is two members
// (same name and DISPID, kinds put and get). Parameter and result types are VarType
// values, plus kVarTypeVariant (any value) and kVarTypeVoid (no result). Names match
// without regard to ASCII case.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/guid.h"
#include "platform/variant.h"

namespace platform {

// The platform's tags for "any variant" and "no value", beside those of variant.h.
constexpr VarType kVarTypeVariant{12};
constexpr VarType kVarTypeVoid{24};

// Failures of the byte form, as the platform numbers them.
constexpr HRESULT TYPE_E_INVDATAREAD = static_cast<HRESULT>(0x80028018);
constexpr HRESULT TYPE_E_UNSUPFORMAT = static_cast<HRESULT>(0x80028019);

// Type flags of interfaces and classes (the platform's values).
namespace type_flags {
constexpr uint16_t kAppObject = 0x1;
constexpr uint16_t kCanCreate = 0x2;
constexpr uint16_t kLicensed = 0x4;
constexpr uint16_t kPredeclId = 0x8;
constexpr uint16_t kHidden = 0x10;
constexpr uint16_t kControl = 0x20;
constexpr uint16_t kDual = 0x40;
constexpr uint16_t kNonExtensible = 0x80;
constexpr uint16_t kOleAutomation = 0x100;
constexpr uint16_t kRestricted = 0x200;
constexpr uint16_t kAggregatable = 0x400;
constexpr uint16_t kReplaceable = 0x800;
constexpr uint16_t kDispatchable = 0x1000;
}  // namespace type_flags

namespace library_flags {
constexpr uint16_t kRestricted = 0x1;
constexpr uint16_t kControl = 0x2;
constexpr uint16_t kHidden = 0x4;
constexpr uint16_t kHasDiskImage = 0x8;
}  // namespace library_flags

// How a class lists an interface.
namespace impl_flags {
constexpr uint16_t kDefault = 0x1;
constexpr uint16_t kSource = 0x2;
constexpr uint16_t kRestricted = 0x4;
}  // namespace impl_flags

enum class SysKind : uint16_t { Win16 = 0, Win32 = 1, Mac = 2, Win64 = 3 };

// Equal to the Invoke flag that calls it.
enum class MemberKind : uint8_t {
    Method = 1,
    PropertyGet = 2,
    PropertyPut = 4,
    PropertyPutRef = 8,
};

enum class InterfaceKind : uint8_t {
    Dual = 0,      // function table and IDispatch
    Dispatch = 1,  // IDispatch only (event interfaces)
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT Version {
    uint16_t major = 0;
    uint16_t minor = 0;
    bool operator==(const Version&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT MemberDescription {
    std::u16string name;
    int32_t dispid = 0;
    MemberKind kind = MemberKind::Method;
    // In declaration order; the value of a put is the last one.
    std::vector<VarType> params;
    VarType result = kVarTypeVoid;

    bool operator==(const MemberDescription&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT InterfaceDescription {
    std::u16string name;
    Guid iid;
    Version version;
    uint16_t flags = 0;  // type_flags
    InterfaceKind kind = InterfaceKind::Dual;
    std::vector<MemberDescription> members;  // interface order

    // Position in `members` of the member with this DISPID and kind.
    std::optional<std::size_t> findMember(int32_t dispid, MemberKind kind) const;
    // DISPID of the member called `name` (any case).
    std::optional<int32_t> findDispid(std::u16string_view name) const;
    bool hasDispid(int32_t dispid) const;

    bool operator==(const InterfaceDescription&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ImplementedInterface {
    Guid iid;
    uint16_t flags = 0;  // impl_flags
    bool operator==(const ImplementedInterface&) const = default;
};

// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT CoclassDescription {
    std::u16string name;
    Guid clsid;
    Version version;
    uint16_t flags = 0;  // type_flags
    std::vector<ImplementedInterface> interfaces;

    std::optional<Guid> defaultInterface() const;  // flagged default, not source
    std::optional<Guid> defaultSource() const;     // flagged default and source

    bool operator==(const CoclassDescription&) const = default;
};

// A library this one refers to (for instance the one that defines IDispatch).
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ImportedLibrary {
    std::u16string name;
    Guid guid;
    Version version;
    bool operator==(const ImportedLibrary&) const = default;
};

// A type library: its attributes and what it describes. Its state lives in the library, so
// that it can grow without changing what a program compiled against this header allocates;
// it copies and compares as a value.
class CORVANE_PLATFORM_EXPORT TypeLibrary {
  public:
    TypeLibrary();
    ~TypeLibrary();
    TypeLibrary(const TypeLibrary& other);
    TypeLibrary& operator=(const TypeLibrary& other);
    // A moved-from library is left as a copy would have left it (a valid value).
    TypeLibrary(TypeLibrary&& other);
    TypeLibrary& operator=(TypeLibrary&& other);

    const std::u16string& name() const;
    void setName(std::u16string name);
    const std::u16string& helpString() const;
    void setHelpString(std::u16string helpString);
    const Guid& guid() const;
    void setGuid(const Guid& guid);
    Version version() const;
    void setVersion(Version version);
    uint32_t lcid() const;
    void setLcid(uint32_t lcid);
    uint16_t flags() const;  // library_flags
    void setFlags(uint16_t flags);
    SysKind sysKind() const;
    void setSysKind(SysKind sysKind);

    // What it describes, for reading and for building it.
    const std::vector<ImportedLibrary>& imports() const;
    std::vector<ImportedLibrary>& imports();
    const std::vector<InterfaceDescription>& interfaces() const;
    std::vector<InterfaceDescription>& interfaces();
    const std::vector<CoclassDescription>& coclasses() const;
    std::vector<CoclassDescription>& coclasses();

    const InterfaceDescription* findInterface(const Guid& iid) const;
    const InterfaceDescription* findInterface(std::u16string_view name) const;
    const CoclassDescription* findCoclass(const Guid& clsid) const;
    const CoclassDescription* findCoclass(std::u16string_view name) const;

    // Throws Error(TYPE_E_INVDATAREAD) for a description Invoke could not work from: a
    // member type or kind the model does not know, two members with one DISPID and kind,
    // a put without a value parameter or with a result, a get without a result, two
    // interfaces or two classes with one GUID.
    void validate() const;

    bool operator==(const TypeLibrary& other) const;

  private:
    struct Contents;
    std::unique_ptr<Contents> m_contents;
};

// ASCII case-insensitive equality, as member and type names are compared.
CORVANE_PLATFORM_EXPORT bool namesEqual(std::u16string_view a, std::u16string_view b);

// The byte form: magic "CVTL", a 16-bit format version, then the fields little-endian.
CORVANE_PLATFORM_EXPORT std::vector<uint8_t> serializeTypeLibrary(const TypeLibrary& library);
// Parses and validates the byte form. Malformed input (bad magic, truncated, trailing
// bytes, impossible counts or values) throws Error(TYPE_E_INVDATAREAD) whose description
// names the fault and its offset; a newer format version throws TYPE_E_UNSUPFORMAT.
CORVANE_PLATFORM_EXPORT TypeLibrary parseTypeLibrary(std::span<const uint8_t> bytes);

}  // namespace platform
