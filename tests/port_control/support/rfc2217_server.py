#!/usr/bin/python3
"""An RFC 2217 server for tests: serves the serial device DEVICE on 127.0.0.1:PORT through
the port manager of Python's serial library, one connection at a time.

usage: rfc2217_server.py DEVICE PORT [--silent]
--silent: accept connections, read what comes and never answer.
"""
import select
import socket
import sys

import serial
import serial.rfc2217


class PtySerial(serial.Serial):
    """A pseudo-terminal has no modem lines and always 8 data bits without parity: requests
    for them change nothing on the device (what was asked is still what is reported)."""

    def _reconfigure_port(self, *args, **kwargs):
        asked = self._parity, self._bytesize
        self._parity, self._bytesize = serial.PARITY_NONE, serial.EIGHTBITS
        try:
            super()._reconfigure_port(*args, **kwargs)
        finally:
            self._parity, self._bytesize = asked

    def _update_dtr_state(self):
        try:
            super()._update_dtr_state()
        except OSError:
            pass

    def _update_rts_state(self):
        try:
            super()._update_rts_state()
        except OSError:
            pass

    def _line(name):
        def get(self):
            try:
                return getattr(serial.Serial, name).fget(self)
            except OSError:
                return False
        return property(get)

    cts = _line("cts")
    dsr = _line("dsr")
    ri = _line("ri")
    cd = _line("cd")


class Connection:
    """The port manager writes its answers through write()."""

    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def serve(connection, device):
    port = PtySerial(device, timeout=0)
    manager = serial.rfc2217.PortManager(port, Connection(connection))
    try:
        while True:
            readable, _, _ = select.select([connection, port], [], [], 0.2)
            if connection in readable:
                data = connection.recv(4096)
                if not data:
                    return
                port.write(b"".join(manager.filter(data)))
            if port in readable:
                data = port.read(4096)
                if data:
                    connection.sendall(b"".join(manager.escape(data)))
            manager.check_modem_lines()
    finally:
        port.close()


def main():
    device, port = sys.argv[1], int(sys.argv[2])
    silent = "--silent" in sys.argv[3:]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    while True:
        connection, _ = listener.accept()
        with connection:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                if silent:
                    while connection.recv(4096):
                        pass
                else:
                    serve(connection, device)
            except OSError:
                pass


if __name__ == "__main__":
    main()
