#!/usr/bin/env python3
"""Helpers of the window test, without libraries beyond Python's own.

  window_test_tools.py close WINDOW_ID          asks the window to close, as a window manager does
  window_test_tools.py check PNG CHECK...       checks a screenshot's pixels; CHECK is one of
      size=W,H                                   the image's size
      has=R,G,B@X0,Y0,X1,Y1                      some pixels near that colour in the box (x1, y1 excluded)
      hasnot=R,G,B@X0,Y0,X1,Y1                   none near that colour in the box
      at=R,G,B@X,Y                               that pixel near that colour
"""
import ctypes
import struct
import sys
import zlib

NEAR = 24  # per channel: anti-aliasing and blending move colours a little


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), "only 8-bit RGB(A)"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    bpp = 4 if colour == 6 else 3
    raw, stride = zlib.decompress(idat), width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, lambda x, y: tuple(rows[y][x * bpp:x * bpp + 3])


def near(pixel, colour):
    return all(abs(p - c) <= NEAR for p, c in zip(pixel, colour))


def check(path, checks):
    width, height, pixel = read_png(path)
    for rule in checks:
        name, _, value = rule.partition("=")
        if name == "size":
            assert (width, height) == tuple(map(int, value.split(","))), f"{rule}: {width}x{height}"
            continue
        colour, _, where = value.partition("@")
        colour = tuple(map(int, colour.split(",")))
        box = list(map(int, where.split(",")))
        if name == "at":
            assert near(pixel(*box), colour), f"{rule}: {pixel(*box)}"
            continue
        x0, y0, x1, y1 = box
        found = sum(near(pixel(x, y), colour) for y in range(y0, min(y1, height)) for x in range(x0, min(x1, width)))
        assert (found > 0) == (name == "has"), f"{rule}: {found} pixels of that colour"


def close(window):
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    assert display, "no display"

    class ClientMessage(ctypes.Structure):  # XClientMessageEvent, format 32
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 24)]

    event = ClientMessage(type=33, window=window, format=32,
                          message_type=x11.XInternAtom(display, b"WM_PROTOCOLS", 0))
    event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


if __name__ == "__main__":
    try:
        if sys.argv[1] == "close":
            close(int(sys.argv[2]))
        else:
            check(sys.argv[2], sys.argv[3:])
    except AssertionError as failure:
        sys.exit(f"{sys.argv[2]}: {failure}")
