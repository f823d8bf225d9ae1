#!/usr/bin/env python3
"""Writes platform/text/src/codepage932_table.inc, the decode tables of code page 932.

The mapping is the Windows one. Python's "cp932" codec supplies it and glibc's iconv
("WINDOWS-31J" and "CP932") checks it: both must agree on every double-byte pair, and
iconv must write every character with the pair we keep for it. The script stops on any
disagreement, so a table is only ever written from two sources that match.

Windows decodes 398 pairs to characters that it writes with another pair (the NEC row 13
copies of JIS X 0208 symbols, the IBM-extension copies of NEC row 13, and the whole
NEC-selected IBM rows 0xED/0xEE). Windows writes such a character in the first form of
this order: JIS X 0208, NEC row 13 (0x87), IBM extensions (0xFA-0xFC), NEC-selected IBM
(0xED-0xEE). The tables keep only that form; the other pairs are left out so that they
decode byte by byte and every byte sequence survives decode -> encode unchanged.

Six characters are written with the pair of their Windows twin although that pair reads
back as the twin: the JIS X 0208 readings of those pairs (U+00A2, U+00A3, U+00AC, U+2016,
U+2212, U+301C). Python and glibc both write them so, and so does Windows' default
(best-fit) conversion. Other substitutes (glibc's U+00A5 -> "\\", U+203E -> "~",
U+2014 -> 0x815C, the rest of Windows' best-fit list) are not taken: such characters are
written as "?", which keeps encoding the inverse of decoding everywhere else.

Usage: scripts/generate_cp932_table.py [output path]
"""

import ctypes
import ctypes.util
import pathlib
import sys

LEAD_BYTES = [b for b in range(0x81, 0xA0)] + [b for b in range(0xE0, 0xFD)]
TRAIL_BYTES = [b for b in range(0x40, 0x7F)] + [b for b in range(0x80, 0xFD)]
ESCAPE_BASE = 0xDC00

# Single bytes that Windows maps although they are outside JIS X 0201.
WINDOWS_SINGLE_BYTES = {0x80: 0x0080, 0xA0: 0xF8F0, 0xFD: 0xF8F1, 0xFE: 0xF8F2, 0xFF: 0xF8F3}


def preference(code):
    """Rank of a double-byte form: Windows writes a character in its lowest-ranked form."""
    lead = code >> 8
    if lead == 0x87:
        return 1  # NEC row 13
    if 0xFA <= lead <= 0xFC:
        return 2  # IBM extensions
    if lead in (0xED, 0xEE):
        return 3  # NEC-selected IBM extensions
    return 0  # JIS X 0208 and the user-defined area


def python_decode(data):
    try:
        text = data.decode("cp932")
    except UnicodeDecodeError:
        return None
    return ord(text) if len(text) == 1 else None


class Iconv:
    """The few glibc iconv calls needed to convert one character at a time."""

    def __init__(self, to_code, from_code):
        self._libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        self._libc.iconv_open.restype = ctypes.c_void_p
        self._libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self._libc.iconv.restype = ctypes.c_size_t
        pointer = ctypes.POINTER(ctypes.c_char_p)
        size = ctypes.POINTER(ctypes.c_size_t)
        self._libc.iconv.argtypes = [ctypes.c_void_p, pointer, size, pointer, size]
        self._handle = self._libc.iconv_open(to_code.encode(), from_code.encode())
        if self._handle in (None, ctypes.c_void_p(-1).value):
            raise RuntimeError(f"iconv cannot convert {from_code} to {to_code}")

    def convert(self, data):
        self._libc.iconv(self._handle, None, None, None, None)
        in_buffer = ctypes.create_string_buffer(data, len(data))
        in_pointer = ctypes.c_char_p(ctypes.addressof(in_buffer))
        in_left = ctypes.c_size_t(len(data))
        out_buffer = ctypes.create_string_buffer(16)
        out_pointer = ctypes.c_char_p(ctypes.addressof(out_buffer))
        out_left = ctypes.c_size_t(16)
        result = self._libc.iconv(self._handle, ctypes.byref(in_pointer), ctypes.byref(in_left),
                                  ctypes.byref(out_pointer), ctypes.byref(out_left))
        if result == ctypes.c_size_t(-1).value or in_left.value:
            return None
        self._libc.iconv(self._handle, None, None, ctypes.byref(out_pointer),
                         ctypes.byref(out_left))
        return out_buffer.raw[:16 - out_left.value]


def build_mapping():
    """Returns (single-byte map, all double-byte pairs -> character) from Python's codec."""
    single = {}
    for byte in range(0x100):
        if byte in LEAD_BYTES:
            continue
        single[byte] = WINDOWS_SINGLE_BYTES.get(byte, python_decode(bytes([byte])))
        if single[byte] is None:
            raise SystemExit(f"no character for single byte {byte:#04x}")
    double = {}
    for lead in LEAD_BYTES:
        for trail in TRAIL_BYTES:
            char = python_decode(bytes([lead, trail]))
            if char is not None:
                double[lead << 8 | trail] = char
    return single, double


# Characters glibc writes with a pair that reads back as another character, beyond those
# Python writes that way too; we write them as "?".
GLIBC_ONLY_SUBSTITUTES = {0x00A5, 0x203E, 0x2014}


def encode_only(single, canonical):
    """Characters Python's codec writes with a pair that decodes to another character."""
    extra = {}
    known = set(canonical) | set(single.values())
    for char in range(0x10000):
        if 0xD800 <= char < 0xE000 or char in known:
            continue
        try:
            raw = chr(char).encode("cp932")
        except UnicodeEncodeError:
            continue
        code = int.from_bytes(raw, "big")
        if len(raw) != 2 or canonical.get(python_decode(raw)) != code:
            raise SystemExit(f"U+{char:04X} is written as {raw.hex()}, not a Windows pair")
        extra[char] = code
    return extra


def cross_check(single, double, canonical, extra):
    for name in ("WINDOWS-31J", "CP932"):
        decoder = Iconv("UTF-16LE", name)
        encoder = Iconv(name, "UTF-16LE")
        for lead in LEAD_BYTES:
            for trail in range(0x100):
                raw = decoder.convert(bytes([lead, trail]))
                theirs = int.from_bytes(raw, "little") if raw and len(raw) == 2 else None
                ours = double.get(lead << 8 | trail)
                if theirs != ours:
                    raise SystemExit(f"{name} decodes {lead:02X}{trail:02X} to {theirs}, "
                                     f"Python to {ours}")
        for byte, char in single.items():
            if byte in WINDOWS_SINGLE_BYTES:
                continue  # glibc leaves these five bytes unmapped
            if decoder.convert(bytes([byte])) != char.to_bytes(2, "little"):
                raise SystemExit(f"{name} disagrees on single byte {byte:#04x}")
        ours_by_char = {char: code.to_bytes(2, "big") for char, code in canonical.items()}
        ours_by_char.update({char: code.to_bytes(2, "big") for char, code in extra.items()})
        ours_by_char.update({char: bytes([byte]) for byte, char in single.items()})
        for char in range(0x10000):
            if 0xD800 <= char < 0xE000 or char in WINDOWS_SINGLE_BYTES.values():
                continue
            theirs = encoder.convert(char.to_bytes(2, "little"))
            ours = ours_by_char.get(char)
            if theirs != ours and not (ours is None and char in GLIBC_ONLY_SUBSTITUTES):
                raise SystemExit(f"{name} writes U+{char:04X} as {theirs}, we as {ours}")


def format_rows(values, width, digits, indent="    "):
    lines = []
    for start in range(0, len(values), width):
        chunk = values[start:start + width]
        lines.append(indent + ", ".join(f"0x{v:0{digits}X}" for v in chunk) + ",")
    return "\n".join(lines)


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    output = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else (
        root / "platform" / "text" / "src" / "codepage932_table.inc")

    single, double = build_mapping()
    canonical = {}  # character -> the pair Windows writes
    for code, char in sorted(double.items()):
        if char in canonical:
            if preference(code) == preference(canonical[char]):
                raise SystemExit(f"U+{char:04X} has two forms of equal rank")
            if preference(code) > preference(canonical[char]):
                continue
        canonical[char] = code
    if set(canonical) & set(single.values()):
        raise SystemExit("a character has both a single-byte and a double-byte form")
    extra = encode_only(single, canonical)
    cross_check(single, double, canonical, extra)
    left_out = len(double) - len(canonical)

    single_table = [single.get(b, ESCAPE_BASE + b) for b in range(0x100)]
    lead_rows = [len(LEAD_BYTES)] * 0x100
    for row, lead in enumerate(LEAD_BYTES):
        lead_rows[lead] = row
    double_rows = []
    for lead in LEAD_BYTES:
        row = [0] * 0x100
        for trail in range(0x100):
            code = lead << 8 | trail
            if code in double and canonical[double[code]] == code:
                row[trail] = double[code]
        double_rows.append(f"    {{\n        // lead 0x{lead:02X}\n" +
                           format_rows(row, 11, 4, indent="        ") + "\n    },")

    text = f"""// Generated by scripts/generate_cp932_table.py from Python's cp932 codec, checked
// against glibc iconv WINDOWS-31J and CP932. Do not edit; run the script instead.
//
// {len(canonical)} double-byte characters. {left_out} further pairs, which Windows reads as a
// character it writes with another pair, are left out so that they decode byte by byte.
// {len(extra)} more characters are only written (kEncodeOnly).

// The character of each single byte; a lead byte that forms no pair stands for itself as
// an escaped byte (kEscapeBase + byte).
constexpr char16_t kSingleByteTable[256] = {{
{format_rows(single_table, 12, 4)}
}};

// Row of kDoubleByteTable for each lead byte; the other bytes share the last row, which
// forms no pair, so a decoder can look up every byte the same way.
constexpr int kLeadByteCount = {len(LEAD_BYTES)};
constexpr uint8_t kNoPairRow = kLeadByteCount;
constexpr uint8_t kLeadRow[256] = {{
{format_rows(lead_rows, 16, 2)}
}};

// The character of lead, trail (indexed by the lead's row and the trail byte); 0 where the
// pair forms no character.
constexpr char16_t kDoubleByteTable[kLeadByteCount + 1][256] = {{
{chr(10).join(double_rows)}
    {{}},  // no lead byte
}};

// Characters written with the pair of their Windows twin, to which that pair decodes.
struct EncodeOnlyMapping {{
    char16_t character;
    uint16_t code;
}};
constexpr EncodeOnlyMapping kEncodeOnly[] = {{
{chr(10).join(f"    {{0x{c:04X}, 0x{v:04X}}},  // reads back as U+{double[v]:04X}" for c, v in sorted(extra.items()))}
}};
"""
    output.write_text(text)
    print(f"wrote {output}: {len(canonical)} pairs, {left_out} duplicate pairs left out, "
          f"{len(extra)} encode-only characters")


if __name__ == "__main__":
    main()
