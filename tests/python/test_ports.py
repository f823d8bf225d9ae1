"""corvane.ports() and corvane.watch_ports() on a mock machine (tests/tools/serial_testbed.py)."""
import pathlib
import subprocess
import sys

import pytest

import corvane

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "tools"))
from serial_testbed import FIRST_ADAPTER_TTY, ODD_ADAPTER_BY_ID, SerialTestbed  # noqa: E402

SECOND_BY_ID = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B20M7KD4-if00-port0"


@pytest.fixture
def machine(platform_home):
    testbed = SerialTestbed()
    (platform_home / "ports").write_text(f"4={SECOND_BY_ID}\n8={ODD_ADAPTER_BY_ID}\n")
    (platform_home / "ports").chmod(0o600)
    yield testbed
    testbed.close()


def test_ports_describes_each_port_with_its_fields(machine):
    ports = {port.device: port for port in corvane.ports()}
    assert sorted(ports) == ["/dev/ttyS4", "/dev/ttyUSB0", "/dev/ttyUSB1"]
    assert ports["/dev/ttyUSB1"] == corvane.Port(
        device="/dev/ttyUSB1", by_id=SECOND_BY_ID,
        by_path="/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", driver="ftdi_sio",
        vendor_id="0403", product_id="6001", manufacturer="FTDI", product="FT232R USB UART",
        serial_number="B20M7KD4", interface_number="00", network=False, port_number=4,
        stable_name=SECOND_BY_ID, description="FT232R USB UART (FTDI)")
    assert ports["/dev/ttyUSB0"].port_number is None
    assert ports["/dev/ttyS4"].stable_name == "/dev/serial/by-path/pci-0000:00:16.3"


# A port map others may write is refused: it hides no port; the ports come without numbers
# and a warning says why, once.
@pytest.mark.parametrize("listing", ["ports", "watch_ports"])
def test_a_refused_port_map_hides_no_port_and_warns_once(machine, platform_home, listing):
    (platform_home / "ports").chmod(0o620)
    with pytest.warns(RuntimeWarning, match="error 70") as warned:
        if listing == "ports":
            numbers = {port.device: port.port_number for port in corvane.ports()}
            assert numbers == {"/dev/ttyS4": None, "/dev/ttyUSB0": None, "/dev/ttyUSB1": None}
        else:
            corvane.watch_ports(lambda change, port: None).stop()
    assert len(warned) == 1 and warned[0].filename == __file__


def test_watch_ports_reports_on_the_loop_until_stopped(machine):
    changes = []
    watch = corvane.watch_ports(lambda change, port: changes.append((change, port)))
    with watch:
        machine.plug_odd_adapter()
        assert changes == []  # nothing before the loop runs
        assert corvane.run_until(lambda: len(changes) == 1, timeout=20)
        machine.pull_odd_adapter()
        assert corvane.run_until(lambda: len(changes) == 2, timeout=20)
    assert not watch.active
    assert [change for change, _ in changes] == ["arrived", "left"]
    assert changes[0][1] == changes[1][1]
    assert (changes[0][1].device, changes[0][1].stable_name, changes[0][1].port_number) == (
        "/dev/ttyUSB2", ODD_ADAPTER_BY_ID, 8)
    # Stopped: a port leaving now reaches nobody.
    machine.pull(FIRST_ADAPTER_TTY)
    corvane.pump(0.5)
    assert len(changes) == 2
    watch.stop()  # again: harmless


def test_a_callback_may_stop_its_own_watch_and_its_exception_is_reported(machine, capfd):
    calls = []

    def callback(change, port):
        calls.append(change)
        watch.stop()
        raise ValueError("from the callback")

    watch = corvane.watch_ports(callback)
    machine.plug_odd_adapter()
    assert corvane.run_until(lambda: calls, timeout=20)
    machine.pull_odd_adapter()
    corvane.pump(0.5)
    assert calls == ["arrived"]  # stopped by itself: the port leaving reached nobody
    assert "exception in the watch_ports callback" in capfd.readouterr().err


def test_a_watch_is_given_a_callable_and_a_program_holding_one_ends_quietly(machine):
    with pytest.raises(TypeError, match="callable"):
        corvane.watch_ports(42)
    # A watch and a control left at the module's level: the program's end says nothing.
    script = ("import corvane\n"
              "w = corvane.watch_ports(lambda change, port: None)\n"
              "p = corvane.Dispatch('Corvane.Portula')\n"
              "w.stop()\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=machine.environment())
    assert (done.returncode, done.stderr) == (0, "")


def test_the_collector_frees_watches_whose_callbacks_refer_back_to_them(machine):
    script = ("import corvane, gc, os, weakref\n"
              "descriptors = lambda: len(os.listdir('/proc/self/fd'))\n"
              "corvane.watch_ports(print).stop()  # the loop's own\n"
              "before = descriptors()\n"
              "class Watcher:\n"
              "    def __init__(self):\n"
              "        self.watch = corvane.watch_ports(self.changed)\n"
              "    def changed(self, change, port):\n"
              "        pass\n"
              "watchers = [weakref.ref(Watcher()) for _ in range(50)]\n"
              "gc.collect()\n"
              "print(sum(w() is not None for w in watchers), descriptors() - before)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=machine.environment())
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "0 0\n")
