// The made-up machine of fixtures/serial_ports.umockdev in a umockdev testbed, and USB
// adapters plugged in and out of it as udev reports them. Only for test programs that run
// under umockdev-wrapper (CTest starts them so; tests/CMakeLists.txt).
//
// The machine: two FTDI adapters (0403:6001, driver ftdi_sio) on /dev/ttyUSB0 (serial
// A10K3XQ1, USB port 1-1) and /dev/ttyUSB1 (B20M7KD4, port 1-2), each with its
// /dev/serial/by-id and by-path links; a PCI UART on /dev/ttyS4 (driver serial, by-path
// link only); and what is no port: a legacy /dev/ttyS0 with no UART (type 0), the virtual
// console /dev/tty1 and the pseudo-terminal /dev/ttyp0. Every node is a pseudo-terminal's
// far end: masterFd() is the device's side. umockdev answers only some terminal ioctls on a
// node it made (not TCGETS2, say, which the serial adapter reads the line speed with), so
// the adapters' nodes hand every ioctl to the pseudo-terminal behind them.
#pragma once

#include <umockdev.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::testing {

// The fixture's adapters.
struct MockAdapter {
    const char* usbPort;  // "1-1": where it is plugged in, which fixes its by-path name
    const char* serial;   // "A10K3XQ1": which fixes its by-id name
};
constexpr MockAdapter kFirstAdapter{"1-1", "A10K3XQ1"};
constexpr MockAdapter kSecondAdapter{"1-2", "B20M7KD4"};

inline std::string byIdName(const MockAdapter& adapter) {
    return std::string("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_") + adapter.serial +
           "-if00-port0";
}
inline std::string byPathName(const MockAdapter& adapter) {
    return std::string("/dev/serial/by-path/pci-0000:00:14.0-usb-0:") + (adapter.usbPort + 2) +
           ":1.0-port0";
}
// The sysfs path of the adapter's tty device when it is `node` ("ttyUSB2").
inline std::string ttySysPath(const MockAdapter& adapter, const std::string& node) {
    return std::string("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + adapter.usbPort + "/" +
           adapter.usbPort + ":1.0/" + node + "/tty/" + node;
}

// An adapter's tty and usb-serial devices as umockdev records them, for `node` ("ttyUSB2",
// minor `minor`); its USB device and interface are the fixture's.
inline std::string adapterRecord(const MockAdapter& adapter, const std::string& node, int minor) {
    const std::string interface = std::string("/devices/pci0000:00/0000:00:14.0/usb1/") +
                                  adapter.usbPort + "/" + adapter.usbPort + ":1.0";
    const std::string byId = byIdName(adapter);
    const std::string byPath = byPathName(adapter);
    const std::string number = std::to_string(minor);
    return "P: " + interface + "/" + node + "/tty/" + node + "\nN: " + node +
           "\nS: " + byId.substr(5) + "\nS: " + byPath.substr(5) + "\nE: DEVNAME=/dev/" + node +
           "\nE: SUBSYSTEM=tty\nE: MAJOR=188\nE: MINOR=" + number + "\nE: DEVLINKS=" + byId + " " +
           byPath +
           "\nE: ID_BUS=usb\nE: ID_VENDOR=FTDI\nE: ID_VENDOR_ENC=FTDI\nE: ID_VENDOR_ID=0403"
           "\nE: ID_MODEL=FT232R_USB_UART\nE: ID_MODEL_ENC=FT232R\\x20USB\\x20UART"
           "\nE: ID_MODEL_ID=6001\nE: ID_SERIAL_SHORT=" +
           adapter.serial +
           "\nE: ID_USB_INTERFACE_NUM=00\nE: ID_USB_DRIVER=ftdi_sio\nA: dev=188:" + number +
           "\n\nP: " + interface + "/" + node +
           "\nE: DRIVER=ftdi_sio\nE: SUBSYSTEM=usb-serial"
           "\nL: driver=../../../../../../../bus/usb-serial/drivers/ftdi_sio\n";
}

class MockSerialPorts {
  public:
    MockSerialPorts() : m_testbed(newTestbed()) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_file(m_testbed, CORVANE_SERIAL_PORTS_FIXTURE, &error)) {
            std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("cannot load the serial ports fixture: " + message);
        }
        m_ioctls =
            static_cast<UMockdevIoctlBase*>(g_object_new(umockdev_ioctl_base_get_type(), nullptr));
        g_signal_connect(m_ioctls, "handle-ioctl", G_CALLBACK(onIoctl), nullptr);
        for (const char* node : {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS4"})
            passIoctls(node);
        for (const MockAdapter& adapter : {kFirstAdapter, kSecondAdapter})
            passLinkIoctls(adapter);
    }
    ~MockSerialPorts() {
        g_object_unref(m_testbed);
        g_object_unref(m_ioctls);
    }
    MockSerialPorts(const MockSerialPorts&) = delete;
    MockSerialPorts& operator=(const MockSerialPorts&) = delete;

    UMockdevTestbed* testbed() const { return m_testbed; }

    // Plugs `adapter` in as `node`: its devices appear, udev points its links at the new
    // node and says "add".
    void plug(const MockAdapter& adapter, const std::string& node, int minor) {
        for (const std::string& link : {byIdName(adapter), byPathName(adapter)})
            std::filesystem::remove(inTestbed(link));
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(
                m_testbed, adapterRecord(adapter, node, minor).c_str(), &error)) {
            std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("cannot plug the adapter in: " + message);
        }
        passIoctls("/dev/" + node);
        passLinkIoctls(adapter);
    }

    // udev says "add" again for `adapter`, still `node`, as `udevadm trigger` makes it do.
    void announceAgain(const MockAdapter& adapter, const std::string& node) {
        umockdev_testbed_uevent(m_testbed, ttySysPath(adapter, node).c_str(), "add");
    }

    // Unplugs `adapter`, now `node`: udev says "remove", the devices go and so do its links.
    void unplug(const MockAdapter& adapter, const std::string& node) {
        const std::string tty = ttySysPath(adapter, node);
        for (const std::string& path : {"/dev/" + node, byIdName(adapter), byPathName(adapter)})
            umockdev_testbed_detach_ioctl(m_testbed, path.c_str(), nullptr);
        umockdev_testbed_uevent(m_testbed, tty.c_str(), "remove");
        umockdev_testbed_remove_device(m_testbed, tty.c_str());
        umockdev_testbed_remove_device(
            m_testbed, std::filesystem::path(tty).parent_path().parent_path().c_str());
        for (const std::string& link : {byIdName(adapter), byPathName(adapter)})
            std::filesystem::remove(inTestbed(link));
    }

    // The device's side of `node` ("/dev/ttyUSB0"), owned by the testbed.
    int masterFd(const std::string& node) const {
        return umockdev_testbed_get_dev_fd(m_testbed, node.c_str());
    }

  private:
    static UMockdevTestbed* newTestbed() {
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload ||
            std::string_view(preload).find("libumockdev-preload") == std::string_view::npos)
            throw std::runtime_error("not run under umockdev-wrapper");
        return umockdev_testbed_new();
    }

    // Runs the ioctl on the pseudo-terminal behind the node (on umockdev's worker thread).
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
        gint error = 0;
        const gint result = umockdev_ioctl_client_execute(client, &error, nullptr);
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }

    void passIoctls(const std::string& node) {
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(m_testbed, node.c_str(), m_ioctls, &error)) {
            std::string message = error ? error->message : "unknown error";
            g_clear_error(&error);
            throw std::runtime_error("cannot pass the ioctls of " + node + " on: " + message);
        }
    }

    // umockdev finds a handler by the path a device was opened by: its links need one too.
    void passLinkIoctls(const MockAdapter& adapter) {
        passIoctls(byIdName(adapter));
        passIoctls(byPathName(adapter));
    }

    // Where the testbed keeps `path` ("/dev/...").
    std::filesystem::path inTestbed(const std::string& path) const {
        gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        std::filesystem::path inside = std::filesystem::path(root) / path.substr(1);
        g_free(root);
        return inside;
    }

    UMockdevTestbed* m_testbed;
    UMockdevIoctlBase* m_ioctls = nullptr;
};

}  // namespace platform::testing
