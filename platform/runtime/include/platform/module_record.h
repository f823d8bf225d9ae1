// The registration record a component library carries: plain data from which the
// platform runtime registers the library, serves its class factories, answers whether it
// may be unloaded and finds its resources. A module defines one `LibraryRecord` (usually
// constexpr data plus one `ModuleCounter`) and forwards its four entry points to
// platform/module_runtime.h.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/error.h"
#include "platform/guid.h"

namespace platform {

// Counts what keeps a module loaded: its live objects and the server locks taken through
// its class factories. Objects lock it in their constructor and unlock it in their
// destructor.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT ModuleCounter {
  public:
    ModuleCounter() = default;
    ModuleCounter(const ModuleCounter&) = delete;
    ModuleCounter& operator=(const ModuleCounter&) = delete;

    void lock() noexcept { m_count.fetch_add(1, std::memory_order_relaxed); }
    void unlock() noexcept { m_count.fetch_sub(1, std::memory_order_acq_rel); }
    int32_t count() const noexcept { return m_count.load(std::memory_order_acquire); }

  private:
    std::atomic<int32_t> m_count{0};
};

// A resource is named by a number or by a text, as the platform's resources are. Names
// compare without regard to ASCII case.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
class CORVANE_PLATFORM_EXPORT ResourceId {
  public:
    constexpr ResourceId(uint32_t number) : m_number(number) {}
    constexpr ResourceId(const char* name) : m_name(name) {}
    constexpr ResourceId(std::string_view name) : m_name(name) {}

    constexpr bool isNumber() const { return m_name.empty(); }
    constexpr uint32_t number() const { return m_number; }
    constexpr std::string_view name() const { return m_name; }

    constexpr bool operator==(const ResourceId& other) const {
        if (isNumber() != other.isNumber())
            return false;
        if (isNumber())
            return m_number == other.m_number;
        return std::ranges::equal(m_name, other.m_name,
                                  [](char a, char b) { return asciiUpper(a) == asciiUpper(b); });
    }

    static constexpr char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

  private:
    uint32_t m_number = 0;
    std::string_view m_name;
};

// One resource compiled into the module: type ("TYPELIB", "BITMAP", "GIF", "VERSION",
// "_IID_PORTULA" ...; compared without regard to ASCII case), id, and its bytes.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ResourceRecord {
    std::string_view type;
    ResourceId id;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// One creatable class of the library.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT ClassRecord {
    std::string_view name;  // "Portula"
    Guid clsid;
    std::string_view progId;  // "Corvane.Portula"
    Guid iidDefault;          // default interface
    Guid iidSource;           // default event interface (GUID_NULL when there is none)
    bool raisesEvents = false;
    uint16_t toolboxBitmapId = 0;  // BITMAP resource shown in a host's toolbox; 0: none
    bool isDesigner = false;
    uint32_t miscStatus = 0;  // the component model's OLEMISC bits
    // Creates a new object and hands out its interface `iid` with one reference. Never
    // throws; the object locks the module's counter for its lifetime.
    HRESULT (*createInstance)(const Guid& iid, void** object) = nullptr;
};

// The whole library.
// Frozen: a value type programs compile in; a change to its members needs a new SONAME.
struct CORVANE_PLATFORM_EXPORT LibraryRecord {
    std::string_view name;         // type library name, "Corvane"
    std::string_view description;  // type library help string
    std::string_view helpDir;      // empty: none
    Guid typeLibId;
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    uint32_t lcid = 0;                // locale the type library is registered under
    std::string_view threadingModel;  // "Apartment"
    std::span<const ClassRecord> classes;
    std::span<const ResourceRecord> resources;
    ModuleCounter& counter;
};

}  // namespace platform
