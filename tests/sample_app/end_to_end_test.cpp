// Form1 with the real control, created from the freshly built Corvane.so through the
// platform registry, exchanging datagrams on 127.0.0.1 with a raw socket and with a second
// window. The platform loop runs inside Qt's through the LoopBridge, as in the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "control_host.h"
#include "form1.h"
#include "loop_bridge.h"
#include "platform/error.h"
#include "platform/fd_watch.h"
#include "platform/port_map.h"
#include "platform/variant.h"
#include "port_control/support/pty_pair.h"
#include "port_control/support/rfc2217_servers.h"
#include "portula/portula_ids.h"
#include "sample_app/support/qt_test_application.h"
#include "sample_app/support/raw_udp_socket.h"
#include "sample_app/support/recording_presenter.h"
#include "sample_app/support/registered_corvane.h"

namespace sample_app {
namespace {

namespace dispid = port_control::ids::dispid;
using ::testing::IsEmpty;
using namespace sample_app::test_support;

std::string frameBytes(int count) {
    return "\x01\x02\x1F" + std::to_string(count) + "\x03\x04\xFF";
}

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testApplication();
        if (!m_corvane.available())
            GTEST_SKIP() << "Corvane.so " << m_corvane.problem();
        m_bridge = std::make_unique<LoopBridge>();
    }

    struct Window {
        std::filesystem::path ini;
        RecordingPresenter presenter;
        PortulaHost* control = nullptr;
        std::unique_ptr<Form1> form;

        bool portOpen() const { return control->getProperty(dispid::PortOpen).integerValue() != 0; }
        bool udpSelected() const {
            return control->getProperty(dispid::UDPUse).integerValue() != 0;
        }
        void pressSend() { form->findChild<QPushButton*>("Command1")->click(); }
        void clickUdp() { form->findChild<QCheckBox*>("chkUDP")->click(); }
    };

    // A window whose settings file holds `ini`, loaded as the program loads it.
    Window& openWindow(const std::string& ini) {
        auto window = std::make_unique<Window>();
        window->ini =
            m_corvane.scratch() / ("Sampleton" + std::to_string(m_windows.size()) + ".ini");
        std::ofstream(window->ini, std::ios::binary) << ini;
        auto control = std::make_unique<PortulaHost>();
        window->control = control.get();
        const std::filesystem::path path = window->ini;
        window->form =
            std::make_unique<Form1>(std::move(control), window->presenter, [path] { return path; });
        window->form->load();
        window->form->show();
        m_windows.push_back(std::move(window));
        return *m_windows.back();
    }

    static std::string udpSettings(uint16_t localPort, uint16_t remotePort,
                                   const std::string& localComm = "1") {
        return "[UDP]\r\nLocalPort=" + std::to_string(localPort) +
               "\r\nRemotePort=" + std::to_string(remotePort) +
               "\r\nRemoteHost=127.0.0.1\r\nUDPUse=1\r\n[COM]\r\nLocalComm=" + localComm + "\r\n";
    }

    std::optional<std::string> receive(RawUdpSocket& peer) {
        std::optional<std::string> datagram;
        processEventsUntil([&] { return (datagram = peer.tryReceive()).has_value(); });
        return datagram;
    }

    RegisteredCorvane m_corvane;
    std::unique_ptr<LoopBridge> m_bridge;
    std::vector<std::unique_ptr<Window>> m_windows;
};

TEST_F(EndToEndTest, FramesReachARawPeerAndItsDataComesBackAsAReceiveLine) {
    RawUdpSocket peer;
    const uint16_t localPort = RawUdpSocket::freePort();
    Window& window = openWindow(udpSettings(localPort, peer.port()));
    ASSERT_THAT(window.presenter.messages, IsEmpty());
    EXPECT_TRUE(window.portOpen());
    EXPECT_TRUE(window.udpSelected());

    for (int press = 1; press <= 3; ++press) {
        window.pressSend();
        EXPECT_EQ(receive(peer), frameBytes(press)) << "press " << press;
    }

    peer.sendTo(localPort, "ABC\r\n");
    const auto text = [&] { return window.form->transcript().text(); };
    EXPECT_TRUE(processEventsUntil([&] { return text().find(u"受:") != std::u16string::npos; }));
    EXPECT_EQ(text(),
              u"送:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>2<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>3<ETX><EOT><FF>\r\n"
              u"受:ABC<CR><LF>\r\n");

    window.form->close();
    EXPECT_FALSE(window.portOpen());
    EXPECT_THAT(window.presenter.messages, IsEmpty());
    std::ifstream saved(window.ini, std::ios::binary);
    const std::string savedText((std::istreambuf_iterator<char>(saved)), {});
    EXPECT_NE(savedText.find("LocalPort=" + std::to_string(localPort) + "\r\n"), std::string::npos);
}

TEST_F(EndToEndTest, SerialPortThatCannotOpenRevertsToUdpAndReopensIt) {
    // Port 7 of this user's port map names a device that does not exist.
    platform::setPortDevice(7, m_corvane.scratch() / "no-such-serial-device");
    RawUdpSocket peer;
    Window& window = openWindow(udpSettings(RawUdpSocket::freePort(), peer.port(), "7"));
    ASSERT_THAT(window.presenter.messages, IsEmpty());

    window.clickUdp();  // to serial, whose open fails

    EXPECT_EQ(window.presenter.messages.size(), 1)
        << window.presenter.messages.join(" | ").toStdString();
    EXPECT_EQ(window.form->udpValue(), 1);
    EXPECT_TRUE(window.udpSelected());
    EXPECT_TRUE(window.portOpen());
    window.pressSend();
    EXPECT_EQ(receive(peer), frameBytes(1)) << "the UDP transport works again";
}

TEST_F(EndToEndTest, TwoWindowsWithCrossedPortsShowEachOthersFrames) {
    const uint16_t portA = RawUdpSocket::freePort();
    uint16_t portB = RawUdpSocket::freePort();
    while (portB == portA)
        portB = RawUdpSocket::freePort();
    Window& a = openWindow(udpSettings(portA, portB));
    Window& b = openWindow(udpSettings(portB, portA));
    ASSERT_THAT(a.presenter.messages, IsEmpty());
    ASSERT_THAT(b.presenter.messages, IsEmpty());

    a.pressSend();
    const auto textA = [&] { return a.form->transcript().text(); };
    const auto textB = [&] { return b.form->transcript().text(); };
    EXPECT_TRUE(processEventsUntil([&] { return !textB().empty(); }));
    // One frame at a time, so that each arrives as its own receive event.
    b.pressSend();
    EXPECT_TRUE(processEventsUntil([&] { return textA().find(u"受:") != std::u16string::npos; }));
    b.pressSend();
    EXPECT_TRUE(processEventsUntil([&] { return textA().find(u"<1F>2") != std::u16string::npos; }));

    EXPECT_EQ(textA(),
              u"送:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"受:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"受:<SOH><STX><1F>2<ETX><EOT><FF>\r\n");
    EXPECT_EQ(textB(),
              u"受:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>1<ETX><EOT><FF>\r\n"
              u"送:<SOH><STX><1F>2<ETX><EOT><FF>\r\n");
}

// Two pseudo-terminals joined at their masters, as a null-modem cable joins two ports.
class NullModem {
  public:
    NullModem(int a, int b)
        : m_a(a, platform::MessageLoop::kReadable, [a, b](uint32_t) { copy(a, b); }),
          m_b(b, platform::MessageLoop::kReadable, [a, b](uint32_t) { copy(b, a); }) {}

  private:
    static void copy(int from, int to) {
        char buffer[4096];
        const ssize_t count = ::read(from, buffer, sizeof buffer);
        if (count > 0 && ::write(to, buffer, static_cast<size_t>(count)) != count)
            ADD_FAILURE() << "the null modem dropped bytes";
    }
    platform::FdWatch m_a;
    platform::FdWatch m_b;
};

// What the receive lines of a transcript carry, joined: a frame on a serial line may arrive
// in more than one piece.
std::u16string receivedText(const std::u16string& transcript) {
    std::u16string joined;
    for (size_t line = transcript.find(u"受:"); line != std::u16string::npos;
         line = transcript.find(u"受:", line + 1)) {
        const size_t start = line + 2;
        joined += transcript.substr(start, transcript.find(u"\r\n", start) - start);
    }
    return joined;
}

TEST_F(EndToEndTest, TwoWindowsOneOnANetworkSerialServerShowEachOthersFrames) {
    // Window A's port 5 is a port on ser2net, which serves one pseudo-terminal; window B's
    // port 6 is a second one, joined to the first by a null modem.
    port_control::testing::PtyPair served;
    port_control::testing::PtyPair local;
    port_control::testing::Rfc2217Server server(port_control::testing::Rfc2217Server::Kind::Ser2net,
                                                served.slavePath());
    platform::setPortDevice(5, server.address());
    local.mapToPort(6);
    NullModem cable(served.master(), local.master());
    auto serialSettings = [](const std::string& localComm) {
        return "[UDP]\r\nUDPUse=0\r\n[COM]\r\nLocalComm=" + localComm + "\r\n";
    };
    Window& a = openWindow(serialSettings("5"));
    Window& b = openWindow(serialSettings("6"));
    ASSERT_THAT(a.presenter.messages, IsEmpty()) << a.presenter.messages.join(" | ").toStdString();
    ASSERT_THAT(b.presenter.messages, IsEmpty()) << b.presenter.messages.join(" | ").toStdString();
    EXPECT_FALSE(a.udpSelected());
    EXPECT_TRUE(a.portOpen());

    const std::u16string frame1 = u"<SOH><STX><1F>1<ETX><EOT><FF>";
    const std::u16string frame2 = u"<SOH><STX><1F>2<ETX><EOT><FF>";
    auto textA = [&] { return a.form->transcript().text(); };
    auto textB = [&] { return b.form->transcript().text(); };
    a.pressSend();
    EXPECT_TRUE(processEventsUntil([&] { return receivedText(textB()) == frame1; }))
        << platform::toUtf8(textB());
    b.pressSend();
    b.pressSend();
    EXPECT_TRUE(processEventsUntil([&] { return receivedText(textA()) == frame1 + frame2; }))
        << platform::toUtf8(textA());
    EXPECT_EQ(textA().substr(0, textA().find(u"\r\n")), u"送:" + frame1);
}

}  // namespace
}  // namespace sample_app
