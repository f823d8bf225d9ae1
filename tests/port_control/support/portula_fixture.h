// A Portula over fake components and a recording host.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fake_components.h"
#include "portula.h"

namespace port_control::testing {

class PortulaFixture : public ::testing::Test {
  protected:
    PortulaFixture() {
        auto serialPtr = std::make_unique<FakeSerial>(log);
        auto senderPtr = std::make_unique<FakeUdp>(log, "Winsock1");
        auto receiverPtr = std::make_unique<FakeUdp>(log, "Winsock2");
        serial = serialPtr.get();
        sender = senderPtr.get();
        receiver = receiverPtr.get();
        control = std::make_unique<Portula>(
            Components{std::move(serialPtr), std::move(senderPtr), std::move(receiverPtr)}, site);
    }

    void useUdp() {
        control->put_UDPUse(platform::kTrue);
        site.notifications.clear();
        log.calls.clear();
    }

    CallLog log;
    FakeSerial* serial = nullptr;
    FakeUdp* sender = nullptr;
    FakeUdp* receiver = nullptr;
    RecordingSite site;
    std::unique_ptr<Portula> control;
};

using Names = std::vector<std::u16string>;
using Calls = std::vector<std::string>;

}  // namespace port_control::testing
