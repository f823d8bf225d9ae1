// The properties of Portula as constant data, made from the one table of them
// (portula_properties.inc), with the value types and column values its rows name.
//
// Code that needs a property's name as an identifier (the dual interface, the forwarders,
// the dispatch rows, the saved record) expands the table itself: it defines
// PORTULA_PROPERTY and includes portula_properties.inc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/type_library.h"
#include "platform/variant.h"

namespace port_control::properties {

// The published value types: what the type library declares, what the dual interface takes
// (Put) and gives (Get), and how a value of the type rides in a Variant of that type.
namespace published {
struct String {
    static constexpr platform::VarType varType = platform::VarType::String;
    using Put = std::u16string_view;
    using Get = std::u16string;
    static Get fromVariant(const platform::Variant& v) { return v.stringValue(); }
    static platform::Variant toVariant(Get value) {
        return platform::Variant::fromString(std::move(value));
    }
};
struct Boolean {
    static constexpr platform::VarType varType = platform::VarType::Boolean;
    using Put = int16_t;  // True = -1, False = 0
    using Get = int16_t;
    static Get fromVariant(const platform::Variant& v) { return v.integerValue(); }
    static platform::Variant toVariant(Get value) { return platform::Variant::fromBoolean(value); }
};
struct Integer {
    static constexpr platform::VarType varType = platform::VarType::Integer;
    using Put = int16_t;
    using Get = int16_t;
    static Get fromVariant(const platform::Variant& v) { return v.integerValue(); }
    static platform::Variant toVariant(Get value) { return platform::Variant::fromInteger(value); }
};
struct Long {
    static constexpr platform::VarType varType = platform::VarType::Long;
    using Put = int32_t;
    using Get = int32_t;
    static Get fromVariant(const platform::Variant& v) { return v.longValue(); }
    static platform::Variant toVariant(Get value) { return platform::Variant::fromLong(value); }
};
struct Variant {
    static constexpr platform::VarType varType = platform::kVarTypeVariant;
    using Put = platform::Variant;
    using Get = platform::Variant;
    static Get fromVariant(const platform::Variant& v) { return v; }
    static platform::Variant toVariant(Get value) { return value; }
};
}  // namespace published

enum class Access { PutGet, Get, Put };

enum class Store { None, MSComm1, Winsock1, Winsock2, Control };

// The default handed to the property bag with a saved key.
struct SavedDefault {
    platform::VarType type = platform::VarType::Empty;
    int16_t number = 0;
    std::u16string_view text;

    platform::Variant toVariant() const {
        switch (type) {
            case platform::VarType::String:
                return platform::Variant::fromString(std::u16string(text));
            case platform::VarType::Boolean:
                return platform::Variant::fromBoolean(number);
            case platform::VarType::Integer:
                return platform::Variant::fromInteger(number);
            default:
                return {};
        }
    }
};

namespace defaults {
constexpr SavedDefault Text(std::u16string_view text) {
    return {platform::VarType::String, 0, text};
}
constexpr SavedDefault Integer(int16_t number) {
    return {platform::VarType::Integer, number, {}};
}
constexpr SavedDefault Boolean(bool value) {
    return {platform::VarType::Boolean, value ? platform::kTrue : platform::kFalse, {}};
}
constexpr SavedDefault None{};
}  // namespace defaults

struct Property {
    std::u16string_view name;
    platform::VarType type;
    Access access;
    int saved;  // place in the saved record, from 1; 0 for a property not saved
    Store store;
    SavedDefault byDefault;
};

// Every property, in the published interface order.
inline constexpr std::array kProperties{
#define PORTULA_PROPERTY(name, type, access, saved, store, byDefault)       \
    Property{u## #name,    published::type::varType, Access::access, saved, \
             Store::store, defaults::byDefault},
#include "portula_properties.inc"
};

// The DISPID of the property at `index` (from 0): the last one has 0x68030000, each one
// above it one more.
constexpr int32_t dispidAt(std::size_t index) {
    return 0x68030000 + static_cast<int32_t>(kProperties.size() - 1 - index);
}

// The index of the property called `name`, or kProperties.size() if there is none.
constexpr std::size_t indexOf(std::u16string_view name) {
    std::size_t index = 0;
    while (index < kProperties.size() && kProperties[index].name != name)
        ++index;
    return index;
}

constexpr std::size_t savedCount() {
    std::size_t count = 0;
    for (const Property& property : kProperties)
        count += property.saved != 0 ? 1 : 0;
    return count;
}

// The saved places run 1, 2 ... without gap or repeat, and a property has a store and a
// default exactly when it is saved.
constexpr bool savedRecordIsWellFormed() {
    for (const Property& property : kProperties) {
        const bool saved = property.saved != 0;
        if (saved != (property.store != Store::None) ||
            saved != (property.byDefault.type != platform::VarType::Empty))
            return false;
        if (property.saved < 0 || static_cast<std::size_t>(property.saved) > savedCount())
            return false;
    }
    for (std::size_t place = 1; place <= savedCount(); ++place) {
        std::size_t holders = 0;
        for (const Property& property : kProperties)
            holders += static_cast<std::size_t>(property.saved) == place ? 1 : 0;
        if (holders != 1)
            return false;
    }
    return true;
}
static_assert(savedRecordIsWellFormed(),
              "portula_properties.inc: saved places must run 1, 2 ... once each, and exactly "
              "the saved rows name a store and a default");

}  // namespace port_control::properties

// For each accessor of _Portula in interface order (a put before its get): define
// PORTULA_PUT(name, type) and PORTULA_GET(name, type), then
//   #define PORTULA_PROPERTY PORTULA_ACCESSORS
//   #include "portula_properties.inc"
#define PORTULA_ACCESSORS(name, type, access, ...) PORTULA_ACCESSORS_##access(name, type)
#define PORTULA_ACCESSORS_PutGet(name, type) PORTULA_PUT(name, type) PORTULA_GET(name, type)
#define PORTULA_ACCESSORS_Get(name, type) PORTULA_GET(name, type)
#define PORTULA_ACCESSORS_Put(name, type) PORTULA_PUT(name, type)
