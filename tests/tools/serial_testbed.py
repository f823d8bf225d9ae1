"""A mock machine for the port-list tests, on umockdev: the platform's fixture (two FTDI
adapters with by-id links, a PCI UART, an empty legacy ttyS0 and terminals that are no
ports) and a third adapter to plug in and pull out. The tests run under umockdev-wrapper;
a child process started with `environment()` sees the same machine and its uevents."""
import gc
import os
import pathlib

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

FIXTURE = pathlib.Path(__file__).parents[1] / "platform" / "fixtures" / "serial_ports.umockdev"
FIRST_ADAPTER_TTY = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0"

# A CP2102 adapter whose names from udev hold every kind of character a JSON writer must
# escape: quotes, a backslash, a tab, a control character, Latin and Japanese text and a
# character beyond the Basic Multilingual Plane.
ODD_ADAPTER_TTY = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2"
ODD_ADAPTER_BY_ID = "/dev/serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0"
ODD_VENDOR = 'Caf\u00e9 "Quote" \\ Tab\tBell\x07 \u65e5\u672c \U0001F50C'
ODD_ADAPTER = f"""P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2
N: ttyUSB2
S: serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0
E: DEVNAME=/dev/ttyUSB2
E: SUBSYSTEM=tty
E: MAJOR=188
E: MINOR=2
E: DEVLINKS={ODD_ADAPTER_BY_ID}
E: ID_BUS=usb
E: ID_VENDOR_ID=10C4
E: ID_MODEL_ID=EA60
E: ID_VENDOR_FROM_DATABASE={ODD_VENDOR}
E: ID_MODEL_FROM_DATABASE=CP210x UART Bridge
E: ID_SERIAL_SHORT=0001
E: ID_USB_INTERFACE_NUM=00
E: ID_USB_DRIVER=cp210x
A: dev=188:2

P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB2
E: DRIVER=cp210x
E: SUBSYSTEM=usb-serial
L: driver=../../../../../../../bus/usb-serial/drivers/cp210x

P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0
E: DEVTYPE=usb_interface
E: DRIVER=cp210x
E: SUBSYSTEM=usb
L: driver=../../../../../../bus/usb/drivers/cp210x
A: bInterfaceNumber=00

P: /devices/pci0000:00/0000:00:14.0/usb1/1-3
E: DEVTYPE=usb_device
E: DRIVER=usb
E: SUBSYSTEM=usb
L: driver=../../../../../bus/usb/drivers/usb
A: idVendor=10c4
A: idProduct=ea60
A: serial=0001
"""


class SerialTestbed:
    def __init__(self):
        if "umockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
            raise RuntimeError("run the port-list tests under umockdev-wrapper")
        self.testbed = UMockdev.Testbed.new()
        self.testbed.add_from_file(str(FIXTURE))

    def environment(self, **extra):
        """The environment of a child that is to see this machine."""
        return dict(os.environ, UMOCKDEV_DIR=self.testbed.get_root_dir(), **extra)

    # umockdev keeps a node it made until the testbed goes: a device pulled out cannot be
    # plugged in again.
    def plug_odd_adapter(self):
        self.plug(ODD_ADAPTER, ODD_ADAPTER_TTY)

    def plug(self, devices, tty):
        """Adds `devices` (umockdev's text form) and announces `tty` arriving."""
        self.testbed.add_from_string(devices)
        self.testbed.uevent(tty, "add")

    def pull_odd_adapter(self):
        self.pull(ODD_ADAPTER_TTY)

    def pull(self, tty):
        self.testbed.uevent(tty, "remove")
        self.testbed.remove_device(tty)

    def close(self):
        # Gone now, not when the collector gets to it: a testbed going away takes the
        # environment's UMOCKDEV_DIR with it, whichever testbed that names by then.
        self.testbed.disable()
        del self.testbed
        gc.collect()
