"""Drive any registered control by name, with its events, from Python.

    import corvane
    with corvane.Dispatch("Corvane.Portula") as p:
        p.UDPUse = True
        p.events.OnComm = lambda: print(p.CommEvent)

Members are the control's own, bound late by name (any case); values cross as str,
bool, int, float, bytes and None. The control runs on the thread that created it and
raises its events from that thread's message loop: drive it with pump(), run_until(),
loop_fd() or corvane.asyncio.attach(). corvane.ports() lists the machine's serial ports
and corvane.watch_ports() reports them coming and going. See docs/python.md.
"""

import atexit as _atexit
import dataclasses as _dataclasses
import threading as _threading
import warnings as _warnings

from . import _corvane
from ._corvane import Control, loop_fd, pump, register, run_until, unregister
from ._version import __version__

__all__ = ["Control", "Dispatch", "Error", "Port", "PortWatch", "connect", "disconnect",
           "release", "pump", "run_until", "loop_fd", "register", "unregister", "ports",
           "watch_ports"]


class Error(Exception):
    """A failure the control or the platform reported: `number`, `description`, `source`."""

    def __init__(self, number, description, source=""):
        super().__init__(number, description, source)
        self.number = number
        self.description = description
        self.source = source

    def __str__(self):
        where = f" ({self.source})" if self.source else ""
        return f"error {self.number}: {self.description}{where}"


_corvane._set_error_class(Error)


def Dispatch(name):
    """Creates the registered control `name` (a ProgID or a "{CLSID}") in a control site.

    Use it in a `with` block, or `del` it, or call corvane.release(): each closes the
    control at once.
    """
    control = Control(name)
    if not hasattr(_this_thread, "closer"):
        _this_thread.closer = _ThreadEndCloser()
    return control


def release(control):
    """Closes the control now; later use of it raises RuntimeError."""
    control._release()


def connect(control, handler):
    """Makes the methods of `handler` named after the control's events its handlers.

    Names match without regard to case (`def oncomm(self)` handles OnComm). Events
    `handler` has no method for keep the handler they had. Returns `handler`.
    """
    methods = {name.lower(): name for name in dir(handler) if not name.startswith("__")}
    connected = 0
    for event in control._event_names():
        name = methods.get(event.lower())
        if name is not None:
            setattr(control.events, event, getattr(handler, name))
            connected += 1
    if connected == 0:
        raise ValueError(f"{handler!r} has no method named after an event of {control!r} "
                         f"(its events: {', '.join(control._event_names()) or 'none'})")
    return handler


def disconnect(control):
    """Removes every event handler of the control."""
    for event in control._event_names():
        setattr(control.events, event, None)


@_dataclasses.dataclass(frozen=True)
class Port:
    """A serial port as the platform describes it (text as udev gives it, "" when unknown).

    `stable_name` is what a port map entry should name (the by-id link, else the by-path
    link, else the device); `port_number` is the number that opens the port (the port map's,
    or n + 1 for /dev/ttyS<n> when the map names nothing for it), None when none does;
    `network` marks a port map entry naming a network serial server.
    """

    device: str
    by_id: str
    by_path: str
    driver: str
    vendor_id: str
    product_id: str
    manufacturer: str
    product: str
    serial_number: str
    interface_number: str
    network: bool
    port_number: "int | None"
    stable_name: str
    description: str


def _warn_of_refused_map(refusal, stacklevel):
    if refusal is not None:
        _warnings.warn(f"the port map is not used ({refusal}); the ports are listed without "
                       "numbers", RuntimeWarning, stacklevel=stacklevel + 1)


def ports():
    """The machine's serial ports now present, and the port map's network ports: a list of
    corvane.Port. Raises corvane.Error when udev cannot be reached. A port map that is refused
    (another user's, one others may write, a link) hides no port: the ports come without
    numbers, and a RuntimeWarning says why."""
    found, refusal = _corvane._ports()
    _warn_of_refused_map(refusal, stacklevel=2)
    return [Port(**fields) for fields in found]


class PortWatch:
    """What watch_ports() returns: stop() ends the watch (so does leaving a `with` block);
    after it the callback is never called again."""

    def __init__(self, callback):
        if not callable(callback):
            raise TypeError(f"watch_ports() needs a callable, not {type(callback).__name__}")
        self._native = _corvane._PortWatch(lambda change, fields: callback(change, Port(**fields)))
        _warn_of_refused_map(self._native.port_map_refusal, stacklevel=3)

    def stop(self):
        self._native.stop()

    @property
    def active(self):
        return self._native.active

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def watch_ports(callback):
    """Calls `callback(change, port)` for each serial port arriving ("arrived") or leaving
    ("left"; the port as it was when it arrived), with a corvane.Port, from the calling
    thread's message loop: only while it runs (pump(), run_until(), asyncio.attach()), on
    this thread, like the controls' events. Returns a PortWatch; stop it on this thread."""
    return PortWatch(callback)


class _ThreadEndCloser:
    """Kept per thread that creates controls; a thread that ends closes the controls it
    still has while it can (its message loop ends with it)."""

    # Bound now: a closer that goes at the interpreter's end may find the module's names
    # already cleared.
    def __del__(self, _release_all=_corvane._release_all):
        _release_all()


_this_thread = _threading.local()

# A program that ends with live controls closes them in the platform's order before the
# interpreter goes away.
_atexit.register(_corvane._release_all)
