"""The sample's test frame and a readable form of what arrives, shared by the examples."""

_NAMES = ["NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF", "VT",
          "FF", "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
          "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"]


def test_frame(counter):
    """SOH STX US, the counter's digits, ETX EOT and the byte 0xFF."""
    return b"\x01\x02\x1f" + str(counter).encode("ascii") + b"\x03\x04\xff"


def frame_text(counter):
    """The test frame as a control hands it back as text: the byte 0xFF is U+F8F3 in the
    platform's code page 932, like every byte without a character of its own."""
    return "\x01\x02\x1f" + str(counter) + "\x03\x04\uf8f3"


def render(data):
    """Control characters as mnemonics (<SOH>), the rest as it is."""
    if isinstance(data, (bytes, bytearray)):
        data = "".join(chr(b) if b < 0x80 else f"<0x{b:02X}>" for b in data)
    out = []
    for ch in data:
        if ord(ch) < 0x20:
            out.append(f"<{_NAMES[ord(ch)]}>")
        elif ch == "\x7f":
            out.append("<DEL>")
        elif ch == "\uf8f3":
            out.append("<0xFF>")
        else:
            out.append(ch)
    return "".join(out)


def free_udp_port():
    """A UDP port on 127.0.0.1 that nothing uses right now."""
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
