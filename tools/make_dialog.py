#!/usr/bin/python3
"""Writes resources/progress.dlg, the progress dialog as a classic DLGTEMPLATE.

The resource compiler stores control classes given by name as upper-case
strings; the dialog keeps the predefined classes as atoms and the progress
bar's class in its usual spelling, so the template is written here byte for
byte and included as raw data.
"""
import os
import struct
import sys

BUTTON, STATIC = 0x0080, 0x0082
IDI_APP = 102

# (id, class, style, x, y, cx, cy, text or icon ordinal)
CONTROLS = [
    (2, BUTTON, 0x50010000, 190, 111, 50, 14, "Cancel"),
    (1000, "msctls_progress32", 0x50000000, 10, 55, 224, 8, "Progress1"),
    (1004, STATIC, 0x50020000, 64, 21, 141, 29, "Connecting to download server..."),
    (0xFFFF, STATIC, 0x50020000, 10, 68, 65, 8, "Estimated time left:"),
    (1002, STATIC, 0x50020000, 78, 68, 161, 8, "778 KB in 1 Sec"),
    (0xFFFF, STATIC, 0x50020000, 10, 79, 46, 8, "Transfer rate:"),
    (1003, STATIC, 0x50020000, 78, 79, 160, 8, "778 KB/Sec"),
    (1001, STATIC, 0x50000A03, 15, 15, 20, 20, IDI_APP),
]


def text(value):
    return value.encode("utf-16-le") + b"\0\0"


def ordinal_or_text(value):
    return struct.pack("<HH", 0xFFFF, value) if isinstance(value, int) else text(value)


def template():
    out = bytearray()
    out += struct.pack("<IIHhhhh", 0x80C808C0, 0, len(CONTROLS), 0, 0, 247, 132)
    out += struct.pack("<HH", 0, 0)  # no menu, default class
    out += text("AutoUpdate")
    out += struct.pack("<H", 8) + text("Tahoma")
    for ident, cls, style, x, y, cx, cy, title in CONTROLS:
        out += b"\0" * (-len(out) % 4)
        out += struct.pack("<IIhhhhH", style, 0, x, y, cx, cy, ident)
        out += ordinal_or_text(cls) + ordinal_or_text(title)
        out += struct.pack("<H", 0)  # no creation data
    return bytes(out)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "progress.dlg")
    with open(path, "wb") as f:
        f.write(template())
