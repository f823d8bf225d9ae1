"""Runs the platform's message loop inside a running asyncio loop.

    async def main():
        with corvane.asyncio.attach():
            ...  # controls raise their events while the program awaits

The platform's loop is one file descriptor (its sockets, serial ports, timers and posted
tasks all make it readable), so attaching is one add_reader that pumps it. Attachments
nest: the reader stays until the last of them is detached.
"""

import asyncio as _asyncio
import weakref as _weakref

from . import _corvane


# How many attachments each asyncio loop has to each platform loop (by its descriptor): the
# reader is added with the first and removed with the last, so that attachments may nest and
# each detach removes only its own. A loop that goes away takes its counts with it.
_attachments = _weakref.WeakKeyDictionary()


class Attachment:
    """The platform's loop watched by one asyncio loop; detach() or leave the `with`."""

    def __init__(self, loop):
        self.loop = loop
        self._fd = _corvane.loop_fd()
        counts = _attachments.setdefault(loop, {})
        if counts.get(self._fd, 0) == 0:
            loop.add_reader(self._fd, _corvane.pump)
        counts[self._fd] = counts.get(self._fd, 0) + 1
        self._attached = True

    def detach(self):
        if not self._attached:
            return
        self._attached = False
        counts = _attachments.get(self.loop, {})
        counts[self._fd] = counts.get(self._fd, 1) - 1
        if counts[self._fd] <= 0:
            del counts[self._fd]
            self.loop.remove_reader(self._fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.detach()


def attach(loop=None):
    """Attaches the calling thread's platform loop to `loop` (default: the running loop).

    Call it on the thread that creates the controls, which is the asyncio loop's thread.
    """
    if loop is None:
        loop = _asyncio.get_running_loop()
    return Attachment(loop)
