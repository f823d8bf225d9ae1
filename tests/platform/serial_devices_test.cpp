// The machine's serial ports on the made-up machine of fixtures/serial_ports.umockdev (run
// under umockdev-wrapper).
#include "platform/serial_devices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/port_map.h"
#include "support/mock_serial_ports.h"
#include "support/temporary_platform_home.h"

namespace platform::testing {
namespace {

using namespace std::chrono_literals;
using Change = SerialPortWatch::Change;

SerialPortDescription adapter(const std::string& node, const MockAdapter& which, int portNumber) {
    SerialPortDescription port;
    port.device = "/dev/" + node;
    port.byId = byIdName(which);
    port.byPath = byPathName(which);
    port.driver = "ftdi_sio";
    port.vendorId = "0403";
    port.productId = "6001";
    port.manufacturer = "FTDI";
    port.product = "FT232R USB UART";
    port.serialNumber = which.serial;
    port.interfaceNumber = "00";
    port.portNumber = portNumber;
    return port;
}

SerialPortDescription pciUart() {
    SerialPortDescription port;
    port.device = "/dev/ttyS4";
    port.byPath = "/dev/serial/by-path/pci-0000:00:16.3";
    port.driver = "serial";
    port.manufacturer = "Intel Corporation";
    port.product = "Cannon Lake PCH Active Management Technology - SOL";
    port.portNumber = 2;
    return port;
}

SerialPortDescription other(const std::string& device, const std::string& driver, bool network,
                            int portNumber) {
    SerialPortDescription port;
    port.device = device;
    port.driver = driver;
    port.network = network;
    port.portNumber = portNumber;
    return port;
}

class SerialDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Numbers by node, by stable name, by a network address; entries that lead nowhere
        // name no port and break nothing.
        setPortDevice(2, "ttyS4");
        setPortDevice(3, byIdName(kSecondAdapter));
        setPortDevice(4, "/dev/serial/by-id/usb-absent-if00-port0");
        setPortDevice(5, "rfc2217://127.0.0.1:4000");
        const std::filesystem::path loop = m_home.root() / "loop";
        ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
        setPortDevice(6, loop);
        setPortDevice(9, byPathName(kSecondAdapter));  // a second name: the lower number wins
    }

    TemporaryPlatformHome m_home;
    MockSerialPorts m_machine;
};

TEST_F(SerialDevicesTest, ListsTheRealPortsAndTheNetworkOnesWithTheirNumbers) {
    const SerialPortDescription network = other("rfc2217://127.0.0.1:4000", "", true, 5);
    const std::vector<SerialPortDescription> expected{
        pciUart(), adapter("ttyUSB0", kFirstAdapter, 0), adapter("ttyUSB1", kSecondAdapter, 3),
        network};
    EXPECT_EQ(listSerialPorts(), expected);

    struct Row {
        SerialPortDescription port;
        std::string stableName;
        std::string description;
    };
    const Row rows[] = {
        {expected[0], "/dev/serial/by-path/pci-0000:00:16.3",
         "Cannon Lake PCH Active Management Technology - SOL (Intel Corporation)"},
        {expected[1], byIdName(kFirstAdapter), "FT232R USB UART (FTDI)"},
        {network, "rfc2217://127.0.0.1:4000", "rfc2217://127.0.0.1:4000"},
        {other("/dev/ttyS5", "serial", false, 0), "/dev/ttyS5", "serial"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.port.stableName(), row.stableName) << row.port.device;
        EXPECT_EQ(row.port.description(), row.description) << row.port.device;
    }
}

TEST_F(SerialDevicesTest, AWatchSeesAdaptersLeaveAndArriveAndMayEndInItsCallback) {
    struct Seen {
        Change change;
        SerialPortDescription port;
    };
    std::vector<Seen> seen;
    std::unique_ptr<SerialPortWatch> watch;
    watch =
        std::make_unique<SerialPortWatch>([&](Change change, const SerialPortDescription& port) {
            seen.push_back({change, port});
            if (seen.size() == 4)
                watch.reset();
        });

    // The second adapter comes back on another node: its stable name keeps its number. A
    // port udev announces again while it stays is no news, even once the map has given it a
    // number since.
    struct Step {
        std::function<void()> act;
        Change change;
        SerialPortDescription port;
    };
    const Step steps[] = {
        {[&] {
             setPortDevice(7, byIdName(kFirstAdapter));
             m_machine.announceAgain(kFirstAdapter, "ttyUSB0");
             m_machine.unplug(kSecondAdapter, "ttyUSB1");
         },
         Change::Left, adapter("ttyUSB1", kSecondAdapter, 3)},
        {[&] { m_machine.plug(kSecondAdapter, "ttyUSB2", 2); }, Change::Arrived,
         adapter("ttyUSB2", kSecondAdapter, 3)},
        {[&] { m_machine.unplug(kFirstAdapter, "ttyUSB0"); }, Change::Left,
         adapter("ttyUSB0", kFirstAdapter, 7)},
        {[&] { m_machine.unplug(kSecondAdapter, "ttyUSB2"); }, Change::Left,
         adapter("ttyUSB2", kSecondAdapter, 3)},
    };
    for (const Step& step : steps) {
        const size_t before = seen.size();
        step.act();
        ASSERT_TRUE(MessageLoop::current().runUntil([&] { return seen.size() > before; }, 10s))
            << step.port.device;
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back().change, step.change) << step.port.device;
        EXPECT_EQ(seen.back().port, step.port);
    }
    EXPECT_EQ(watch, nullptr);
}

}  // namespace
}  // namespace platform::testing
