"""Runs the platform's message loop inside a running asyncio loop.

    async def main():
        with corvane.asyncio.attach():
            ...  # controls raise their events while the program awaits

The platform's loop is one file descriptor (its sockets, serial ports, timers and posted
tasks all make it readable), so attaching is one add_reader that pumps it.
"""

import asyncio as _asyncio

from . import _corvane


class Attachment:
    """The platform's loop watched by one asyncio loop; detach() or leave the `with`."""

    def __init__(self, loop):
        self.loop = loop
        self._fd = _corvane.loop_fd()
        loop.add_reader(self._fd, _corvane.pump)
        self._attached = True

    def detach(self):
        if self._attached:
            self._attached = False
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
