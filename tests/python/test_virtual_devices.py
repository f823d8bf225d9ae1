"""corvane.testing: controls talking through virtual devices in the module, the devices'
own port map, faults on cue, and the pytest plugin's fixtures in a pytest run of its own."""
import inspect
import os
import pathlib
import re
import select
import stat
import struct
import subprocess
import sys

import pytest

import corvane
from conftest import EXAMPLES_DIR
from corvane import testing

RECEIVED, LOST_DEVICE = 2, 1011  # CommEvent codes
PYTHON_DOC = EXAMPLES_DIR.parents[1] / "docs" / "python.md"


def open_port(number):
    control = corvane.Dispatch("Corvane.Portula")
    control.CommPort = number
    control.InputMode = 1  # binary
    control.RThreshold = 1
    control.PortOpen = True
    return control


def collect_received(control):
    received = bytearray()

    def on_comm():
        if control.CommEvent == RECEIVED:
            received.extend(control.Input2)

    control.events.OnComm = on_comm
    return received


def test_two_controls_on_a_virtual_pair_exchange_every_byte_and_cross_their_lines():
    with testing.virtual_pair() as pair:
        first, second = open_port(pair.ports[0]), open_port(pair.ports[1])
        try:
            for sender, receiver, data in [(first, second, bytes(range(256))),
                                           (second, first, bytes(reversed(range(256))))]:
                received = collect_received(receiver)
                sender.Output = data
                assert corvane.run_until(lambda: len(received) >= len(data), timeout=10)
                assert bytes(received) == data

            # A null-modem cable: DTR reaches the other end's DSR and DCD, RTS its CTS, and
            # nothing else moves.
            outputs = {(end, line): False for end in (0, 1) for line in ("DTREnable", "RTSEnable")}
            ends = (first, second)

            def lines_follow():
                return all(getattr(ends[1 - end], name) == outputs[(end, line)]
                           for end in (0, 1)
                           for line, names in (("DTREnable", ("DSRHolding", "CDHolding")),
                                               ("RTSEnable", ("CTSHolding",)))
                           for name in names)

            for end, line in outputs:
                setattr(ends[end], line, False)
            assert corvane.run_until(lines_follow, timeout=5)
            for end, line, state in [(0, "DTREnable", True), (1, "RTSEnable", True),
                                     (0, "RTSEnable", True), (1, "DTREnable", True),
                                     (0, "DTREnable", False), (1, "RTSEnable", False)]:
                outputs[(end, line)] = state
                setattr(ends[end], line, state)
                assert corvane.run_until(lines_follow, timeout=5), (end, line, state)
        finally:
            corvane.release(first)
            corvane.release(second)


def test_an_unplugged_device_closes_the_port_with_its_event_and_the_port_opens_again():
    with testing.virtual_pair() as pair, corvane.Dispatch("Corvane.Portula") as port:
        events = []
        port.CommPort = pair.ports[0]
        port.events.OnComm = lambda: events.append(port.CommEvent)
        port.PortOpen = True
        pair.inject("unplug 1s")
        assert corvane.run_until(lambda: LOST_DEVICE in events, timeout=10)
        assert not port.PortOpen
        assert [fault.fault for fault in pair.status.faults] == ["unplug 1s"]

        def reopened():
            try:
                port.PortOpen = True
            except corvane.Error as error:
                assert error.number == 68, error  # refused while the device is away
                return False
            return True

        assert corvane.run_until(reopened, timeout=20)
        assert events.count(LOST_DEVICE) == 1
        with pytest.raises(corvane.Error) as refused:
            pair.inject("unplug")  # no pause: no fault of the grammar
        assert refused.value.number == 380


def private_map(folder, text):
    folder.mkdir(mode=0o700)
    (folder / "ports").write_text(text)
    os.chmod(folder / "ports", 0o600)
    return folder / "ports"


def read_exactly(fd, count, timeout=5.0):
    data = b""
    while len(data) < count and select.select([fd], [], [], timeout)[0]:
        data += os.read(fd, count - len(data))
    return data


def test_the_devices_are_numbered_in_a_map_of_their_own_that_leaves_the_others_alone(
        tmp_path, platform_home, monkeypatch):
    # The user's map names port 1 too; a map the process had set already is put back after.
    users_map = platform_home / "ports"
    users_map.write_text("1=/dev/users-own-port\n")
    os.chmod(users_map, 0o600)
    users_map_before = users_map.read_bytes(), users_map.stat().st_mtime_ns
    near, far = os.openpty()
    own_map = private_map(tmp_path / "own", f"1={os.ttyname(far)}\n")
    monkeypatch.setenv(testing.PORT_MAP_VARIABLE, str(own_map))
    try:
        with corvane.Dispatch("Corvane.Portula") as port:
            port.CommPort = 1
            port.InputMode = 1
            port.RThreshold = 1
            received = collect_received(port)
            with testing.echo() as device:
                map_file = pathlib.Path(os.environ[testing.PORT_MAP_VARIABLE])
                assert stat.S_IMODE(map_file.parent.stat().st_mode) == 0o700
                assert stat.S_IMODE(map_file.stat().st_mode) == 0o600
                with testing.virtual_pair() as pair:
                    assert (device.ports, pair.ports) == ((1,), (2, 3))
                port.PortOpen = True
                port.Output = b"to the echo"
                assert corvane.run_until(lambda: bytes(received) == b"to the echo", timeout=5)
                port.PortOpen = False
            assert os.environ[testing.PORT_MAP_VARIABLE] == str(own_map)
            assert not map_file.parent.exists()
            port.PortOpen = True
            port.Output = b"to the terminal"
            assert read_exactly(near, 15) == b"to the terminal"
    finally:
        os.close(near)
        os.close(far)
    assert (users_map.read_bytes(), users_map.stat().st_mtime_ns) == users_map_before


# A replay's capture: the device answers "PONG\r" to "PING\r" (a pcap file of link type 250;
# each record a 12-byte header of seconds, microseconds, event type, modem lines, footer).
def write_capture(path):
    records = [(0x01, b"PING\r"), (0x02, b"PONG\r")]
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65548, 250))
        for n, (event, data) in enumerate(records):
            header = struct.pack(">IIBBH", 1_700_000_000, n * 1000, event, 0, 0)
            out.write(struct.pack("<IIII", 1_700_000_000, n * 1000, 12 + len(data),
                                  12 + len(data)))
            out.write(header + data)


PLUGIN_TESTS = '''
import corvane
from conftest_capture import write_capture


def test_each_test_gets_a_pair_of_its_own(corvane_pair):
    assert corvane_pair.ports == (1, 2)


def test_a_strict_replay_answers_as_recorded(corvane_replay, tmp_path):
    write_capture(tmp_path / "ping.pcap")
    device = corvane_replay(tmp_path / "ping.pcap", strict=True)
    with corvane.Dispatch("Corvane.Portula") as port:
        port.CommPort = device.ports[0]
        port.RThreshold = 1
        answer = []
        port.events.OnComm = lambda: answer.append(port.Input2)
        port.PortOpen = True
        port.Output = "PING\\r"
        assert corvane.run_until(lambda: "".join(answer) == "PONG\\r", timeout=10)
        assert device.wait_finished(timeout=10)
        assert device.status.mismatch is None


def test_the_second_pair_has_the_same_numbers(corvane_pair):
    assert corvane_pair.ports == (1, 2)
'''


def test_the_pytest_plugin_gives_each_test_its_devices_and_runs_the_documented_example(
        tmp_path):
    # The documentation's example test, as written there, beside tests of the fixtures.
    documented = re.search(r"```python\n(# test_protocol\.py.*?)```", PYTHON_DOC.read_text(),
                           re.S)
    assert documented, f"no example test in {PYTHON_DOC}"
    (tmp_path / "test_protocol.py").write_text(documented.group(1))
    (tmp_path / "test_fixtures.py").write_text(PLUGIN_TESTS)
    (tmp_path / "conftest_capture.py").write_text(
        "import struct\n\n\n" + inspect.getsource(write_capture))
    temporary = tmp_path / "temporary"
    temporary.mkdir()
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "-p", "corvane.testing.pytest_plugin", "test_protocol.py", "test_fixtures.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *sys.path]),
                 TMPDIR=str(temporary)))
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(r"\b4 passed\b", done.stdout), done.stdout
    assert list(temporary.glob("corvane-ports-*")) == []
