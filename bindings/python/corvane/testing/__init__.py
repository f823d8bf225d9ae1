"""Virtual serial devices for tests: a null-modem pair, an echo, a recorder and a replay,
served over RFC 2217 on 127.0.0.1 by the module itself and numbered in a port map of the
process's own, so that a control opens them by port number like any port.

    import corvane
    from corvane import testing

    with testing.virtual_pair() as pair, corvane.Dispatch("Corvane.Portula") as p:
        p.CommPort = pair.ports[0]        # the other end: pair.ports[1], pair.addresses[1]
        p.PortOpen = True

Each device runs on a thread of its own that never takes the interpreter lock: a control on
this thread may open it and wait for its answers. While any device of this module is open
the platform reads a temporary port map (CORVANE_PLATFORM_PORT_MAP) that holds the devices'
ports only; the user's own map is neither read nor written meanwhile. See docs/python.md.
"""

import atexit as _atexit
import contextlib as _contextlib
import dataclasses as _dataclasses
import os as _os
import pathlib as _pathlib
import shutil as _shutil
import tempfile as _tempfile
import threading as _threading

from .. import _corvane

__all__ = ["AppliedFault", "DeviceStatus", "Mismatch", "VirtualDevice", "echo", "record",
           "replay", "virtual_pair"]

PORT_MAP_VARIABLE = "CORVANE_PLATFORM_PORT_MAP"


@_dataclasses.dataclass(frozen=True)
class Mismatch:
    """The first byte a strict replay did not get as recorded: its `offset` among the bytes
    the client sent, a few `expected` (recorded) bytes and the `received` ones from there."""

    offset: int
    expected: bytes
    received: bytes


@_dataclasses.dataclass(frozen=True)
class AppliedFault:
    """A fault as the device applied it: `fault` in the words inject() takes ("drop 5",
    "cts down"), `direction` "sent" (toward the device; on a pair from the first port to the
    second) or "received" (None for faults off the data path), the byte `offset` in that
    direction and, for "corrupt", the byte's `value` after the change."""

    fault: str
    direction: "str | None"
    offset: int
    value: int


@_dataclasses.dataclass(frozen=True)
class DeviceStatus:
    """`finished`: a replay played to its end, or a recorder's source went away;
    `mismatch`: a strict replay's first difference (a Mismatch) or None; `faults`: the
    faults applied so far, in order."""

    finished: bool
    mismatch: "Mismatch | None"
    faults: "tuple[AppliedFault, ...]"


class _TemporaryPortMap:
    """The port map the module's devices are numbered in: a private folder (0700) with the
    map (0600), named by CORVANE_PLATFORM_PORT_MAP while any device is open. The first
    device makes it, each takes the lowest free numbers, the last one out removes it and
    puts the variable back as it was."""

    def __init__(self):
        self._lock = _threading.Lock()
        self._entries = {}  # port number -> address
        self._folder = None
        self._previous = None

    def add(self, addresses):
        with self._lock:
            if self._folder is None:
                self._folder = _pathlib.Path(_tempfile.mkdtemp(prefix="corvane-ports-"))
                self._previous = _os.environ.get(PORT_MAP_VARIABLE)
            numbers = []
            number = 1
            for address in addresses:
                while number in self._entries:
                    number += 1
                self._entries[number] = address
                numbers.append(number)
            self._write()
            _os.environ[PORT_MAP_VARIABLE] = str(self._folder / "ports")
            return numbers

    def remove(self, numbers):
        with self._lock:
            for number in numbers:
                self._entries.pop(number, None)
            if self._entries:
                self._write()
            else:
                self._discard()

    def discard(self):
        """Removes the map and puts the variable back, whatever devices are left."""
        with self._lock:
            self._entries.clear()
            self._discard()

    def _discard(self):
        if self._folder is None:
            return
        if self._previous is None:
            _os.environ.pop(PORT_MAP_VARIABLE, None)
        else:
            _os.environ[PORT_MAP_VARIABLE] = self._previous
        _shutil.rmtree(self._folder, ignore_errors=True)
        self._folder = None

    def _write(self):
        # Whole or not at all: a control looking a number up meanwhile reads the old map or
        # the new one.
        text = "".join(f"{number}={address}\n" for number, address in sorted(self._entries.items()))
        partial = self._folder / "ports.new"
        fd = _os.open(partial, _os.O_WRONLY | _os.O_CREAT | _os.O_TRUNC | _os.O_NOFOLLOW, 0o600)
        with open(fd, "w", encoding="utf-8") as out:
            out.write(text)
        _os.replace(partial, self._folder / "ports")


_port_map = _TemporaryPortMap()


# A program that ends with devices still open leaves no map behind.
_atexit.register(_port_map.discard)


class VirtualDevice:
    """A running virtual device: `ports` (its ends' numbers in the temporary port map, in
    order), `addresses` (their "rfc2217://127.0.0.1:<port>" addresses), `terminals` (with
    pty=True, a pseudo-terminal path per end). Made by the context managers of this module,
    which close it on leaving."""

    def __init__(self, native):
        self._native = native
        self.addresses = tuple(native.addresses)
        self.terminals = tuple(native.terminals)
        try:
            self.ports = tuple(_port_map.add(self.addresses))
        except BaseException:
            native.close()
            raise

    def inject(self, fault):
        """Applies `fault` now: a fault of the schedule grammar that needs no byte to fall on,
        without its trigger: "break", "overrun", "cts down" (cts, dsr, dcd, ring; down, up),
        "unplug 2s". Any other raises corvane.Error (380). The device's thread applies it a
        moment later; `status` lists it from then on."""
        self._native.inject(fault)

    @property
    def status(self):
        """The device's DeviceStatus now."""
        fields = self._native.status()
        mismatch = fields["mismatch"]
        return DeviceStatus(
            finished=fields["finished"],
            mismatch=Mismatch(**mismatch) if mismatch is not None else None,
            faults=tuple(AppliedFault(**fault) for fault in fields["faults"]))

    def wait_finished(self, timeout=None):
        """Waits until a replay has played to its end (or stopped at a mismatch), or a
        recorder's source has gone: True, or False after `timeout` seconds (None: no
        limit). Ctrl+C ends the wait."""
        return self._native.wait_finished(1e9 if timeout is None else timeout)

    def close(self):
        """Stops the device (its connections close, its ports are free) and drops its port
        numbers from the map. Closing twice is harmless."""
        if self._native.closed:
            return
        self._native.close()
        _port_map.remove(self.ports)

    def __repr__(self):
        return f"<virtual device on ports {', '.join(map(str, self.ports))}>"


def _schedule_options(faults):
    """`faults`: a schedule's text (str) or its file (a path object)."""
    if faults is None:
        return {}
    if isinstance(faults, str):
        return {"schedule": faults}
    if isinstance(faults, _os.PathLike):
        return {"schedule_file": _os.fspath(faults)}
    raise TypeError(f"faults must be a schedule's text (str) or its file (a path), "
                    f"not {type(faults).__name__}")


@_contextlib.contextmanager
def _device(kind, **options):
    device = VirtualDevice(_corvane._VirtualDevice(kind, **options))
    try:
        yield device
    finally:
        device.close()


def virtual_pair(pace=False, faults=None, seed=0, pty=False):
    """Two ports joined as a null-modem cable: data both ways, DTR to the other's DSR and
    DCD, RTS to its CTS, BREAK; each end keeps its own line settings. `pace`: data goes at
    the sender's character time instead of as fast as it is taken. `faults`: a fault
    schedule (its text, or a path to its file), applied with `seed`."""
    return _device("pair", pace=pace, pty=pty, seed=seed, **_schedule_options(faults))


def echo(pace=False, faults=None, seed=0, pty=False):
    """One port that sends back everything, with RTS looped to CTS and DTR to DSR and DCD."""
    return _device("echo", pace=pace, pty=pty, seed=seed, **_schedule_options(faults))


def record(source, path, faults=None, seed=0):
    """One port forwarded to `source` (a device path, a port number of the port map in
    effect now, or an "rfc2217://" address), every event of the line written to the capture
    file `path` (pcap, readable by tshark)."""
    return _device("record", source=str(source), capture=_os.fspath(path), seed=seed,
                   **_schedule_options(faults))


def replay(path, strict=False, speed=1.0, faults=None, seed=0):
    """One port that plays the capture file `path` back as the device. `strict`: every byte
    the client sends must be the recorded one, and the first difference stops the replay
    (status.mismatch). `speed`: the recorded delays are divided by it."""
    return _device("replay", capture=_os.fspath(path), strict=strict, speed=speed, seed=seed,
                   **_schedule_options(faults))
