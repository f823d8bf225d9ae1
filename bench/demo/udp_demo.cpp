// A headless host for the UDP socket component: a receiver bound to a free port, a sender
// that sends it the sample's test frame over 127.0.0.1, both served by the thread's
// message loop. Prints the frame as it arrived, control characters rendered, in UTF-8.
// Exits 0 when the frame arrived unchanged, 1 with a message otherwise (an error, a
// changed frame, or nothing within 5 seconds).
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "components/udp_socket.h"
#include "platform/codepage932.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "text_render/render_control_chars.h"

namespace {

constexpr auto kTimeout = std::chrono::seconds(5);

int fail(const std::string& message) {
    std::cerr << "udp_demo: " << message << '\n';
    return 1;
}

int runDemo() {
    port_control::UdpSocket receiver;
    std::optional<std::u16string> arrived;
    int32_t arrivedBytes = 0;
    receiver.setDataArrival([&](int32_t bytes) {
        std::u16string data;
        receiver.GetData(data);
        arrived = data;
        arrivedBytes = bytes;
    });
    receiver.Bind(0);

    port_control::UdpSocket sender;
    sender.put_RemoteHost(u"127.0.0.1");
    sender.put_RemotePort(receiver.get_LocalPort());
    // The characters 1, 2, 31, "1", 3, 4 and the one whose code page 932 byte is 255.
    const std::u16string frame =
        platform::cp932::decode(std::string("\x01\x02\x1f"
                                            "1\x03\x04\xff",
                                            7));
    sender.SendData(platform::Variant::fromString(frame));

    if (!platform::MessageLoop::current().runUntil([&] { return arrived.has_value(); }, kTimeout))
        return fail("nothing arrived within 5 seconds");

    std::cout << "port " << receiver.get_LocalPort() << ", " << arrivedBytes
              << " bytes: " << platform::toUtf8(text_render::RenderControlChars(*arrived))
              << std::endl;
    if (*arrived != frame)
        return fail("the frame arrived changed");
    return 0;
}

}  // namespace

int main() {
    try {
        return runDemo();
    } catch (const platform::Error& e) {
        return fail("error " + std::to_string(e.number()) + ": " + e.what());
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}
