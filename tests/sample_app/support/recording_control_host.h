// A stand-in for the window's control: records every property write and read by DISPID,
// answers reads from a test's function, fails writes on a test's rule and raises OnComm
// when the test says so.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "control_host.h"
#include "platform/variant.h"

namespace sample_app::test_support {

struct PropertyPut {
    int32_t dispid = 0;
    platform::Variant value;
    bool operator==(const PropertyPut&) const = default;
};
void PrintTo(const PropertyPut& put, std::ostream* out);

class RecordingControlHost final : public ControlHost {
  public:
    platform::Variant getProperty(int32_t dispid) override;
    void putProperty(int32_t dispid, platform::Variant value) override;
    void setOnCommHandler(std::function<void()> handler) override;

    // Raises the control's OnComm event as the real control does: synchronously.
    void raiseOnComm();
    bool hasOnCommHandler() const { return static_cast<bool>(m_onComm); }

    // Writes that succeeded, in order; reads asked for, in order.
    std::vector<PropertyPut> puts;
    std::vector<int32_t> gets;
    // Consulted before a write is recorded; throwing platform::Error fails the write.
    std::function<void(int32_t dispid, const platform::Variant& value)> putRule;
    // Answers reads; an empty function answers Empty.
    std::function<platform::Variant(int32_t dispid)> getRule;

  private:
    std::function<void()> m_onComm;
};

}  // namespace sample_app::test_support
