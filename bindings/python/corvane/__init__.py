"""Drive any registered control by name, with its events, from Python.

    import corvane
    with corvane.Dispatch("Corvane.Portula") as p:
        p.UDPUse = True
        p.events.OnComm = lambda: print(p.CommEvent)

Members are the control's own, bound late by name (any case); values cross as str,
bool, int, float, bytes and None. The control runs on the thread that created it and
raises its events from that thread's message loop: drive it with pump(), run_until(),
loop_fd() or corvane.asyncio.attach(). See docs/python.md.
"""

import atexit as _atexit
import threading as _threading

from . import _corvane
from ._corvane import Control, loop_fd, pump, register, run_until, unregister

__all__ = ["Control", "Dispatch", "Error", "connect", "disconnect", "release", "pump",
           "run_until", "loop_fd", "register", "unregister"]


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


class _ThreadEndCloser:
    """Kept per thread that creates controls; a thread that ends closes the controls it
    still has while it can (its message loop ends with it)."""

    def __del__(self):
        _corvane._release_all()


_this_thread = _threading.local()

# A program that ends with live controls closes them in the platform's order before the
# interpreter goes away.
_atexit.register(_corvane._release_all)
