// An in-memory property bag that records reads and writes and fails on request.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/property_bag.h"

namespace port_control::testing {

class MemoryPropertyBag : public platform::PropertyBag {
  public:
    explicit MemoryPropertyBag(bool omitDefaults = false) : m_omitDefaults(omitDefaults) {}

    std::map<std::u16string, platform::Variant> values;
    std::vector<std::u16string> reads, writes;
    std::optional<size_t> failOnRead, failOnWrite;  // 0-based index of the failing call

    platform::Variant Read(std::u16string_view name, const platform::Variant& def) override {
        if (failOnRead && *failOnRead == reads.size())
            throw platform::Error(7);
        reads.emplace_back(name);
        auto it = values.find(std::u16string(name));
        return it == values.end() ? def : it->second;
    }
    void Write(std::u16string_view name, const platform::Variant& value,
               const platform::Variant& def) override {
        if (failOnWrite && *failOnWrite == writes.size())
            throw platform::Error(7);
        writes.emplace_back(name);
        if (m_omitDefaults && sameValue(value, def)) {
            values.erase(std::u16string(name));
            return;
        }
        values[std::u16string(name)] = value;
    }

  private:
    static bool sameValue(const platform::Variant& a, const platform::Variant& b) {
        try {
            if (a.type() == platform::VarType::String || b.type() == platform::VarType::String)
                return platform::toString(a) == platform::toString(b);
            return platform::toDouble(a) == platform::toDouble(b);
        } catch (const platform::Error&) {
            return false;
        }
    }
    bool m_omitDefaults;
};

}  // namespace port_control::testing
