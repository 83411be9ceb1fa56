#!/usr/bin/env python3
"""Screenshots of the Windows client's connection dialog, About dialog and
PIN entry dialog under Wine, after a real exchange with the server peer.
Argument: the directory for connection-dialog.png, about-dialog.png and
pin-entry-dialog.png. See scripts/screenshot-windows.sh."""

import os
import struct
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ["VELMORA_E2E_PLATFORM"] = "windows"

from e2e_harness import Client, PrivatePcscd, Server, wait_until, windows_path  # noqa: E402

VERIFY_START = ("IOCTL 313524 000082080008040201090400000000" "0D000000" "0020000108" + "FF" * 8)


def bmp_to_png(bmp_path, png_path):
    """A 24-bit bottom-up BMP as an RGB PNG."""
    with open(bmp_path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride:offset + y * stride + width * 3]
        rows.append(b"\0" + bytes(row[i + 2 - 2 * (i % 3)] for i in range(len(row))))  # BGR to RGB

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    with open(png_path, "wb") as f:
        f.write(png)
    os.remove(bmp_path)


def grab(client, verb, out_dir, name):
    bmp = os.path.join(out_dir, name + ".bmp")
    answer = client.hook("%s %s" % (verb, windows_path(bmp)))
    if answer != "ok":
        raise SystemExit("%s: %s" % (verb, answer))
    bmp_to_png(bmp, os.path.join(out_dir, name + ".png"))
    print(os.path.join(out_dir, name + ".png"))


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    readers = PrivatePcscd(["card=t1,name=Sim Reader", "card=none,name=Second Reader"])
    readers.start()
    server = Server()
    client = Client(server.port, readers)
    try:
        server.wait_connected()
        client.wait_state(lambda s: s["link"] >= 4, "the greeting")
        for command in ("STATE", "TRANSMIT T1 00A4040007A0000000041010", "TRANSMIT T1 0084000008",
                        "GET_ATTRIBUTE VENDOR_NAME"):
            server.command(command)
        grab(client, "grab", out_dir, "connection-dialog")
        client.hook("tray-about")
        client.wait_state(lambda s: s.get("modal") == "about Velmora Client", "the About dialog")
        grab(client, "grab-modal", out_dir, "about-dialog")
        client.hook("modal-ok")
        client.wait_state(lambda s: "modal" not in s, "the About dialog to end")
        server.command(VERIFY_START)
        client.hook("pin-type 1234")
        wait_until(lambda: '"open":true' in client.hook("pin-state"), "the PIN entry dialog")
        grab(client, "grab-pin", out_dir, "pin-entry-dialog")
        client.hook("pin-ok")
        server.command("IOCTL 313528")
    finally:
        client.close()
        server.__exit__()
        readers.stop()


if __name__ == "__main__":
    main(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "screenshots"))
