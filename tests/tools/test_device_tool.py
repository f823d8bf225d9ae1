"""corvane-device with pyserial's RFC 2217 client, raw sockets and tshark: what a pair and
an echo carry, a recording of a scripted modem read back and replayed, repeatable faults,
refused inputs, and clients that misbehave. Each test has a platform folder (and so a port
map) of its own. A BREAK is seen in the recording: pyserial cannot see one arrive (the
control's own tests check that)."""
import os
import pathlib
import pty
import queue
import signal
import socket
import struct
import subprocess
import threading
import time
import tty

import pytest
import serial

TOOL = os.environ["CORVANE_DEVICE_TOOL"]
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1"
WAIT = 15  # seconds: generous, the machines are small and shared


@pytest.fixture
def home(tmp_path):
    folder = tmp_path / "platform-home"
    folder.mkdir(mode=0o700)
    return folder


class Device:
    """The tool running, its standard output read line by line as it comes."""

    def __init__(self, home, *args):
        self.process = subprocess.Popen(
            [TOOL, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env={**os.environ, "CORVANE_PLATFORM_HOME": str(home), "LC_ALL": "C.UTF-8",
                 "LANGUAGE": ""})
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=WAIT):
        line = self.lines.get(timeout=timeout)
        assert line is not None, f"the tool ended: {self.process.wait()} {self.process.stderr.read()}"
        self.seen.append(line)
        return line

    def addresses(self, ends):
        found = []
        while len(found) < ends:
            line = self.next_line()
            if line.startswith("port "):
                found.append(line)
        return found

    def wait_for_line(self, start):
        while not any(line.startswith(start) for line in self.seen):
            self.next_line()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.finish()

    def finish(self):
        status = self.process.wait(timeout=WAIT)
        while (line := self.lines.get(timeout=WAIT)) is not None:
            self.seen.append(line)
        return status, self.process.stderr.read()


def url(port_line):
    """"port 1: rfc2217://127.0.0.1:P ..." -> the address."""
    return port_line.split()[2]


def tcp_port(port_line):
    return int(url(port_line).rsplit(":", 1)[1])


def client(address, timeout=WAIT):
    return serial.serial_for_url(address, timeout=timeout)


def client_when_free(address):
    """A client for an end whose last client has just gone: until the device has seen it go,
    the end turns a new one away."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            return client(address)
        except (OSError, serial.SerialException):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def read_exactly(port, count):
    data = port.read(count)
    assert len(data) == count, f"{len(data)} of {count} bytes arrived"
    return data


def wait_for(predicate, what):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def read_until_quiet(port, quiet=1.0):
    port.timeout = quiet
    data = b""
    while chunk := port.read(65536):
        data += chunk
    return data


EVERY_BYTE = bytes(range(256)) * 4


@pytest.mark.parametrize("kind", ["pair", "echo"])
def test_every_byte_and_the_modem_lines_reach_the_far_end(home, kind):
    (home / "ports").write_text("# mine\n7=/dev/ttyUSB9\n")
    os.chmod(home / "ports", 0o600)
    maps = ["--map", 4, "--map", 7] if kind == "pair" else ["--map", 4]
    device = Device(home, kind, "--no-pace", *maps)
    lines = device.addresses(2 if kind == "pair" else 1)
    assert [line.split(" (")[1] for line in lines] == (
        ["CommPort 4)", "CommPort 7)"] if kind == "pair" else ["CommPort 4)"])
    mapped = (home / "ports").read_text()
    for line, number in zip(lines, (4, 7)):
        assert f"{number}={url(line)}\n" in mapped
    ends = [client(url(line)) for line in lines]
    near, far = ends[0], ends[-1]
    try:
        for sender, receiver in [(near, far), (far, near)]:
            sender.write(EVERY_BYTE)
            assert read_exactly(receiver, len(EVERY_BYTE)) == EVERY_BYTE
        # DTR is DSR and DCD at the far end (the echo's own), RTS is CTS.
        for dtr, rts in [(False, False), (True, False), (False, True), (True, True)]:
            near.dtr, near.rts = dtr, rts
            wait_for(lambda: (far.dsr, far.cd, far.cts) == (dtr, dtr, rts),
                     f"DTR {dtr} RTS {rts}: far end DSR {far.dsr} CD {far.cd} CTS {far.cts}")
        if kind == "pair":
            # Each end keeps its own settings: bytes between ends whose speeds differ do not
            # arrive as sent, and arrive whole again once the far end takes the same speed.
            near.baudrate = 19200
            near.write(b"U" * 64)
            assert read_until_quiet(far) != b"U" * 64
            far.baudrate = 19200
            far.timeout = WAIT
            near.write(EVERY_BYTE)
            assert read_exactly(far, len(EVERY_BYTE)) == EVERY_BYTE
    finally:
        for end in ends:
            end.close()
    assert device.stop() == (0, "")
    # The map as it was: the entry made for the device gone, the one it replaced back.
    assert (home / "ports").read_text() == "# mine\n7=/dev/ttyUSB9\n"


# A modem of the test's own on a pseudo-terminal, and the dialogue a client has with it.
ANSWERS = {b"AT\r": b"OK\r\n", b"ATI\r": b"Corvane test modem 1.0\r\nOK\r\n",
           b"AT+GMR\r": b"1.0.7\r\nOK\r\n", b"ATD123\r": b"CONNECT 9600\r\n"}
DIALOGUE = [b"AT\r", b"ATI\r", b"AT+GMR\r", b"ATD123\r"]


class ScriptedModem:
    def __init__(self):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.slave = slave
        self.stopped = False
        self.thread = threading.Thread(target=self._answer, daemon=True)
        self.thread.start()

    def _answer(self):
        command = b""
        while not self.stopped:
            try:
                command += os.read(self.master, 1)
            except OSError:
                return
            if command.endswith(b"\r"):
                os.write(self.master, ANSWERS.get(command, b"ERROR\r\n"))
                command = b""

    def close(self):
        self.stopped = True
        os.close(self.slave)
        os.close(self.master)


def talk(address, commands):
    """The client's side: a BREAK, then each command and the answer to it, until one goes
    unanswered or the device hangs up (as a strict replay does at a mismatch)."""
    transcript = []
    with client(address, timeout=3) as port:
        port.rts = False
        port.send_break(0.1)
        for command in commands:
            answer = b""
            try:
                port.write(command)
                while (not answer.endswith((b"OK\r\n", b"ERROR\r\n"))
                       and b"CONNECT" not in answer):
                    line = port.read_until(b"\r\n")
                    answer += line
                    if not line.endswith(b"\r\n"):
                        break
            except serial.SerialException:
                pass  # hung up: the answer ends where it is, unfinished
            transcript.append((command, answer))
            if not answer.endswith(b"\r\n"):
                break
    return transcript


def tshark_records(capture):
    """(event type, DTR, RTS, footer, bytes) of each record, as tshark decodes them."""
    fields = subprocess.run(
        ["tshark", "-r", str(capture), "-T", "fields", "-E", "separator=/t", "-e",
         "rtacser.eventtype", "-e", "rtacser.dtr", "-e", "rtacser.rts", "-e", "rtacser.footer",
         "-e", "data.data"],
        capture_output=True, text=True, timeout=60, check=True).stdout
    records = []
    for line in fields.splitlines():
        event, dtr, rts, footer, data = (line.split("\t") + [""])[:5]
        records.append((int(event, 16), int(dtr), int(rts), int(footer, 16),
                        bytes.fromhex(data.replace(":", ""))))
    return records


def test_a_recorded_dialogue_reads_back_in_tshark_and_replays(home, tmp_path):
    capture = tmp_path / "modem.pcap"
    modem = ScriptedModem()
    try:
        recorder = Device(home, "record", modem.path, capture)
        transcript = talk(url(recorder.addresses(1)[0]), DIALOGUE)
        assert transcript == [(command, ANSWERS[command]) for command in DIALOGUE]
        assert recorder.stop() == (0, "")
    finally:
        modem.close()

    records = tshark_records(capture)
    sent = [record for record in records if record[0] == 1]
    received = [record for record in records if record[0] == 2]
    assert b"".join(record[4] for record in sent) == b"".join(DIALOGUE)
    assert b"".join(record[4] for record in received) == b"".join(ANSWERS[c] for c in DIALOGUE)
    # The client held DTR up and RTS down all along, and sent a BREAK first (type 9, "TX").
    assert {(dtr, rts) for _, dtr, rts, _, _ in sent + received} == {(1, 0)}
    breaks = [record for record in records if record[0] == 9]
    assert [record[3] for record in breaks] == [0x5458]
    assert records.index(breaks[0]) < records.index(sent[0])

    player = Device(home, "replay", "--strict", capture)
    assert talk(url(player.addresses(1)[0]), DIALOGUE) == transcript
    assert player.finish() == (0, "")

    # One command changed: the strict replay names the first byte that differs.
    changed = [b"AT\r", b"ATZ\r", b"AT+GMR\r", b"ATD123\r"]
    player = Device(home, "replay", "--strict", capture)
    assert talk(url(player.addresses(1)[0]), changed)[0] == transcript[0]
    status, errors = player.finish()
    assert status == 3
    assert errors.startswith("corvane-device: mismatch at byte 5: expected 49 ")
    assert ", received 5A " in errors


SCHEDULE = """# repeatable faults
noise 0.01
at 100 sent corrupt
at 300 received drop 3
at 500 sent framing
"""
SCHEDULED = ["fault: sent 100 corrupt 0x", "fault: received 300 drop 3", "fault: sent 500 framing"]
TRAFFIC = bytes((i * 7) % 251 for i in range(4096))


def faults_of_a_run(home, schedule, seed):
    device = Device(home, "pair", "--no-pace", "--faults", schedule, "--seed", seed)
    lines = device.addresses(2)
    assert device.seen[0] == f"seed: {seed}"
    first, second = (client(url(line)) for line in lines)
    with first, second:
        # All the traffic passes before the device stops, or the noise of a run would
        # depend on how far it got: wait for all but the dropped bytes, then for the rest.
        for sender, receiver in [(first, second), (second, first)]:
            sender.write(TRAFFIC)
            read_exactly(receiver, len(TRAFFIC) - 3)
            read_until_quiet(receiver)
        # Each fault's line comes as it is applied, before the device ends.
        for scheduled in SCHEDULED:
            device.wait_for_line(scheduled)
    assert device.stop() == (0, "")
    return [line for line in device.seen if line.startswith("fault: ")]


def test_faults_come_at_the_same_offsets_for_the_same_seed(home, tmp_path):
    schedule = tmp_path / "faults.txt"
    schedule.write_text(SCHEDULE)
    runs = [faults_of_a_run(home, schedule, seed) for seed in (7, 7, 7, 8)]
    assert runs[0] == runs[1] == runs[2]
    assert runs[3] != runs[0]
    assert len(runs[0]) > len(SCHEDULED), f"no noise: {runs[0]}"


def pcap_record(event, data=b"", lines=0x18, footer=0, second=1700000000):
    header = struct.pack(">IIBBH", second, 0, event, lines, footer)
    body = header + data
    return struct.pack("<IIII", second, 0, len(body), len(body)) + body


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_a_malformed_capture_or_schedule_is_refused_naming_its_place(home, tmp_path):
    capture = tmp_path / "bad.pcap"
    capture.write_bytes(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65536 + 12, 250) +
                        pcap_record(1, b"AT\r") + pcap_record(0x03, b"OK\r\n") +
                        pcap_record(2, b"OK\r\n"))
    schedule = tmp_path / "faults.txt"
    schedule.write_text("# faults\nat 1s break\nat soon unplug\nat 2s overrun\nnoise 0.5\n")
    for args, place in [(["replay", capture], f"{capture}, record 2: error 380: "),
                        (["pair", "--faults", schedule], f"{schedule}, line 3: error 380: ")]:
        port = free_port()
        device = Device(home, *args, "--port", port)
        status, errors = device.finish()
        assert (status, errors) == (1, f"corvane-device: {place}invalid property value\n")
        assert device.seen == [], "something was served"
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=WAIT).close()


def served_socket(port):
    """A raw connection that the device serves: it opens with the device's Telnet options,
    where one turned away meets the end of the stream."""
    deadline = time.monotonic() + WAIT
    while True:
        connection = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        if connection.recv(1):
            return connection
        connection.close()
        assert time.monotonic() < deadline, f"port {port} turns every connection away"
        time.sleep(0.1)


def memory_high_water_mark(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM")


def test_clients_that_flood_or_send_garbage_leave_the_device_bounded_and_serving(home):
    device = Device(home, "pair", "--no-pace")
    first, second = (tcp_port(line) for line in device.addresses(2))
    silent = socket.create_connection(("127.0.0.1", second))  # never reads
    flood = socket.create_connection(("127.0.0.1", first))
    flood.settimeout(3)
    chunk, sent = b"x" * 65536, 0
    try:
        while sent < 64 << 20:
            sent += flood.send(chunk)
    except TimeoutError:
        pass  # held up: the device stopped reading
    if not SANITIZED:
        assert memory_high_water_mark(device.process.pid) < 64 << 20, f"after {sent} bytes"
    silent.close()

    # The other end takes a new client, which reads (and so lets the flood go on) and whose
    # control commands are answered (pyserial raises otherwise).
    with client_when_free(f"rfc2217://127.0.0.1:{second}") as far:
        far.baudrate = 19200
        flood.close()
        # Garbage: unknown and broken Telnet commands, then a sub-negotiation cut off.
        garbage = served_socket(first)
        garbage.sendall(b"\xff\xfb\xff\xff\xfd\x00\xff\xfe\xff\xfa\x2c\x01\xff\xf0\xff\xf9" +
                      bytes(range(256)) + b"\xff\xfa\x2c\x05\x00\x00")
        garbage.close()
        with client_when_free(f"rfc2217://127.0.0.1:{first}") as near:
            near.baudrate = 19200
            near.dtr = False
            wait_for(lambda: not far.dsr, "DTR not carried after the flood and the garbage")
            near.write(b"still serving\n")
            assert far.read_until(b"still serving\n").endswith(b"still serving\n")
    assert device.stop() == (0, "")
