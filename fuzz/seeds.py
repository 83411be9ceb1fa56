#!/usr/bin/env python3
"""Writes the seed corpus (fuzz/corpus/<target>/) and the inputs of open
findings (fuzz/open/<target>/) in the targets' input formats. The command
lines come from the unit and end-to-end tests. Run it again after changing a
target's input format."""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent


def word(n):
    return struct.pack("<H", n)


def long(n):
    return struct.pack("<I", n)


def answer(data):
    return word(len(data)) + data


def write(folder, target, name, data):
    path = ROOT / folder / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


# --- command: lines, then "\0\0" and the set-up -----------------------------

COMMAND_LINES = [
    "STATE", "state", "CARD", "card", "EJECT", "POWER ON", "power on", "POWER  ",
    "SET_ATTRIBUTE 1", "SET_PROTOCOL T1", "swallow x", "CARDS", "STATE X", "",
    "TRANSMIT T1 00A4040000", "TRANSMIT T1 00A4040007A0000000041010", "TRANSMIT T1 0084000008",
    "transmit t0 00a4040007", "TRANSMIT T1", "TRANSMIT T100B0", "TRANSMIT T2 00", "TRANSMIT T",
    "TRANSMIT ", "TRANSMIT X9 00", "TRANSMIT T1 00-1", "TRANSMIT T1 002a808400",
    "IOCTL 313530 0102", "IOCTL 0", "IOCTL XYZ", "IOCTL ", "IOCTL 0x42000D4C", "IOCTL 1234 0102",
    "IOCTL 1234ab", "IOCTL FFFFFFFFFFFF", "IOCTL 313534", "IOCTL 313528", "IOCTL 313538 01",
    "IOCTL 313524 00000000000800000000000000000000000000000004000000000000000000000000000000"
    "0000000000000400208100",
    "GET_ATTRIBUTE VENDOR_NAME", "Get_Attribute Vendor_Name", "GET_ATTRIBUTE ATR_STRING",
    "GET_ATTRIBUTE MAX_CLK", "GET_ATTRIBUTE NOSUCHNAME", "GET_ATTRIBUTE ", "GET_ATTRIBUTE  VENDOR_NAME",
    "GET_ATTRIBUTE VENDOR_IFD_SERIAL_NO", "STATE!", "A\tB", "CARD\x7f", "a b_c 9 %",
]

NO_FAILURES = bytes(6)


def command_setup(flags=0, failures=NO_FAILURES, transmit=b"", control=b"", feature=b"",
                  attributes=(), events=b""):
    out = bytes([flags]) + failures + answer(transmit) + answer(control) + answer(feature)
    out += bytes([len(attributes)])
    for index, data in attributes:
        out += bytes([index]) + answer(data)
    return out + events


def command_seeds():
    for i, line in enumerate(COMMAND_LINES):
        write("corpus", "command", f"line-{i:02d}", line.encode("latin-1"))
    pinpad_features = b"".join(bytes([tag, 4]) + struct.pack(">I", 0x42000000 + f)
                               for tag, f in ((1, 3501), (2, 3502), (5, 3505), (11, 3511)))
    scenarios = {
        "answer-488": (["TRANSMIT T1 00", "EJECT"], command_setup(transmit=b"\xab" * 488)),
        "answer-489": (["TRANSMIT T1 00"], command_setup(transmit=b"\x5a" * 489)),
        "answer-1200": (["TRANSMIT T1 00", "IOCTL 1"],
                        command_setup(transmit=b"\x5a" * 1200, control=b"\x3c" * 1200)),
        "control-490": (["IOCTL 1", "IOCTL 1"], command_setup(control=b"\x3c" * 490)),
        "direct-no-card": (["IOCTL 1", "GET_ATTRIBUTE VENDOR_NAME", "TRANSMIT T1 00"],
                           command_setup(flags=0x01, control=b"\x90\x00",
                                         attributes=[(0, b"Sim Vendor")])),
        "attribute-sizes": (["GET_ATTRIBUTE VENDOR_NAME", "GET_ATTRIBUTE ATR_STRING",
                             "GET_ATTRIBUTE MAX_CLK"],
                            command_setup(flags=0x80, attributes=[(0, b"V" * 485), (29, b"\x3b" * 486),
                                                                  (6, b"\x00" * 1000)])),
        "failures": (["TRANSMIT T1 00", "IOCTL 1", "GET_ATTRIBUTE VENDOR_NAME"],
                     command_setup(failures=bytes([0, 0, 2, 7, 6, 10]))),
        "refused-connects": (["IOCTL 1", "TRANSMIT T1 00"],
                             command_setup(flags=0x01, failures=bytes([5, 9, 0, 0, 0, 0]))),
        "pinpad-features": (["IOCTL 313534", "IOCTL 313524 " + "00" * 19, "IOCTL 31354C"],
                            command_setup(feature=pinpad_features, control=b"\x2b")),
        "card-pulled": (["TRANSMIT T1 00", "CARD", "TRANSMIT T1 00", "IOCTL 1", "STATE"],
                        command_setup(events=bytes([0, 0x01, 0x04, 0x08, 0x06]))),
        "stale-presence": (["CARD", "IOCTL 1", "GET_ATTRIBUTE VENDOR_NAME"],
                           command_setup(flags=0x03)),
    }
    for name, (lines, setup) in scenarios.items():
        write("corpus", "command", name, "\0".join(lines).encode() + b"\0\0" + setup)


# --- hex -----------------------------------------------------------------

def hex_seeds():
    texts = ["00A4040007", " \t0a0B", "+1-2 3", "0x12", "", "A", "ABC", "  ", "\v\f\r\n01",
             "1 2 3 4", "0g", "ff" * 999 + "f", "AB" * 1001, "00 11", "-f+f f"]
    for i, text in enumerate(texts):
        write("corpus", "hex", f"text-{i:02d}", text.encode())


# --- features: mode, tag, code, claimed length, bytes ---------------------

def feature_entry(tag, code):
    return bytes([tag, 4]) + struct.pack(">I", code)


def feature_seeds():
    full = b"".join(feature_entry(t, 0x42330000 + t) for t in (1, 2, 5, 11))
    cases = {
        "complete": (0, 11, 0x4233000B, full),
        "partial-set": (0, 1, 0x1, feature_entry(1, 1) + feature_entry(5, 5)),
        "partial-entry": (0, 7, 0, full + b"\x01\x04\x42"),
        "beyond-buffer": (0, 0, 0, full * 50),
        "later-overrides": (1, 2, 0, full + feature_entry(2, 0)),
        "request-fails": (2, 11, 7, full),
        "escape-only": (1, 0x13, 0x42000DAC, feature_entry(0x13, 0x42000DAC)),
    }
    for name, (mode, tag, code, data) in cases.items():
        write("corpus", "features", name, bytes([mode, tag]) + long(code) + answer(data))


# --- pinpad: flags, control and transmit answers, operations ---------------

START, FINISH, KEY, ABORT, IOCTL = 0, 1, 2, 3, 4
TYPE, BACK, CLEAR, OK, CLOSE, DESTROYED, LINK_CLOSED = 6, 7, 8, 9, 10, 11, 12


def start_request(ab_data=b"\x00\x20\x00\x81", min_len=0, max_len=8, layout=b"\x00\x00\x00"):
    fixed = bytearray(19)
    fixed[2:5] = layout  # bmFormatString, bmPINBlockString, bmPINLengthFormat
    fixed[5], fixed[6], fixed[15] = max_len, min_len, len(ab_data)
    return bytes(fixed) + ab_data


def control(code, payload=b""):
    return bytes([code]) + answer(payload)


def typed(digits):
    return bytes([TYPE, len(digits)]) + bytes(int(d) for d in digits)


def pinpad(flags, ops, control_answer=b"", transmit_answer=b"\x90\x00"):
    return bytes([flags]) + answer(control_answer) + answer(transmit_answer) + b"".join(ops)


def pinpad_seeds():
    start = control(START, start_request())
    polls = [control(KEY)] * 5
    cases = {
        "emulated-four-digits": pinpad(0, [start, typed("1234"), *polls, bytes([OK]), control(FINISH)]),
        "emulated-correction": pinpad(0, [start, typed("12345"), *polls, bytes([BACK]) * 3, *polls,
                                          bytes([CLEAR]), *polls]),
        "emulated-close": pinpad(0, [start, typed("12"), control(KEY), bytes([CLOSE]), control(KEY),
                                     control(FINISH)]),
        "emulated-finish-twice": pinpad(0, [start, typed("4711"), bytes([OK]), control(FINISH),
                                            control(FINISH)]),
        "emulated-destroyed": pinpad(0, [start, typed("99"), bytes([DESTROYED]), control(KEY),
                                         control(FINISH), bytes([LINK_CLOSED])]),
        "emulated-long-pin": pinpad(0, [control(START, start_request(max_len=30)),
                                        typed("12345678901234567890"), bytes([OK]), control(FINISH)]),
        "emulated-careless-read": pinpad(0, [start, bytes([15, 1]), bytes([OK]), control(FINISH)]),
        "emulated-t0": pinpad(0x04, [start, typed("1"), bytes([OK]), control(FINISH)]),
        "emulated-ascii-block": pinpad(0, [control(START, start_request(b"\x00\x20\x00\x81\x08" + b"\xff" * 8,
                                                                        4, 8, b"\x82\x08\x00")),
                                           typed("1234"), bytes([OK]), control(FINISH)]),
        "emulated-iso2-block": pinpad(0, [control(START, start_request(b"\x00\x20\x00\x81\x08\x20" + b"\xff" * 7,
                                                                       4, 12, b"\x89\x48\x04")),
                                          typed("12345"), bytes([OK]), control(FINISH)]),
        "mapped-echo": pinpad(0x01, [control(START, start_request(min_len=4)), *polls, control(FINISH)],
                              control_answer=b"\x2b"),
        "mapped-abort": pinpad(0x01, [start, control(KEY), control(ABORT, b"\x01")],
                               control_answer=b"\x0d"),
        "abort-only": pinpad(0x40, [start, typed("1"), control(KEY), control(ABORT)]),
        "no-dialog": pinpad(0x08, [start, control(KEY), control(FINISH)]),
        "direct-connection": pinpad(0x20, [start, control(KEY), bytes([IOCTL, 2]) + answer(b""),
                                           control(FINISH)]),
        "ioctl-start": pinpad(0, [bytes([IOCTL, 0]) + answer(start_request()), typed("55"),
                                  bytes([IOCTL, 2]) + answer(b""), bytes([OK]),
                                  bytes([IOCTL, 1]) + answer(b"")]),
        "failures": pinpad(0x01, [start, bytes([13, 4, 2]), control(KEY), control(FINISH)]),
    }
    for name, data in cases.items():
        write("corpus", "pinpad", name, data)
    # The PIN stays in memory after an abort although it can never be sent.
    write("open", "pinpad", "pin-kept-after-abort",
          pinpad(0, [start, typed("1234"), bytes([OK]), control(ABORT)]))
    # ... and after an OK that comes once a finish has ended the entry.
    write("open", "pinpad", "pin-kept-after-ok-past-finish",
          pinpad(0, [start, typed("12"), control(FINISH), typed("3"), bytes([OK])]))


# --- link: flags, transmit answer, operations -----------------------------

DATA, READ, CLOSED, FAIL_SEND, FAIL_READ, RECONNECT, DIALOG, CARD = range(8)
ENDS_BEHIND = CLOSED | 0x80  # the server's close waits behind its bytes
ALL = 0xFFFF


def data(text):
    return bytes([DATA]) + answer(text)


def read(limit=ALL):
    return bytes([READ]) + word(limit)


def link(ops, flags=0, transmit=b"\x90\x00"):
    return bytes([flags]) + answer(transmit) + b"".join(ops)


def link_seeds():
    greeting = [data(b"HELLO server\r\n"), read()]
    cases = {
        "state": link(greeting + [data(b"STATE\n"), read()]),
        "unframed": link(greeting + [data(b"STATE\nCARD\n"), read(), data(b" \t\r\n"), read()]),
        "split": link(greeting + [data(b"TRANSMIT T1 00A4"), read(5), read(), read()]),
        "long-line": link(greeting + [data(b"A" * 1200), read(), read()]),
        "close": link(greeting + [data(b"CARD"), read(), bytes([CLOSED]), bytes([RECONNECT, 0]),
                                  *greeting, data(b"CARD"), read()]),
        "failed-send": link(greeting + [bytes([FAIL_SEND]), data(b"STATE"), read(),
                                        bytes([RECONNECT, 1]), *greeting]),
        "failed-read": link(greeting + [bytes([FAIL_READ, 0]), bytes([RECONNECT, 0x10])]),
        "refused": link([bytes([CLOSED]), bytes([RECONNECT, 0x08]), bytes([RECONNECT, 0x04]),
                         bytes([RECONNECT, 0x18]), bytes([RECONNECT, 0x02])]),
        "no-dialog": link(greeting + [bytes([DIALOG]), data(b"TRANSMIT T1 002a808400"), read()],
                          flags=0x02),
        "decrypt": link(greeting + [data(b"TRANSMIT T1 002a808400"), read()],
                        transmit=b"\x11" * 128 + b"\x90\x00"),
        "card-pulled": link(greeting + [data(b"TRANSMIT T1 00"), read(), bytes([CARD, 5]),
                                        data(b"TRANSMIT T1 00"), read()]),
        "empty-reads": link([read(0), read(0), read(0)]),
        "close-behind": link(greeting + [data(b"STATE"), data(b"TRANSMIT T1 002A9E9A00"), bytes([ENDS_BEHIND]),
                                         read(5), read(), bytes([RECONNECT, 0]), *greeting, data(b"CARD"), read()]),
    }
    for name, case in cases.items():
        write("corpus", "link", name, case)
    # The protocol log misplaces its text when a read holds a NUL byte.
    write("open", "link", "log-nul-byte", link([data(b"hello"), read(), data(b"STATE\0X"), read()]))


# --- dialog_text: operations on the kept status line and log -----------------
# 0 insert (position word, text), 1 cut (position word), 2 line start (line
# byte), 3 status (text); a text is a length byte and its bytes, or 250 and
# up, a word times 8 bytes (the input repeated).

def dialog_text_seeds():
    def text(data):
        return bytes([len(data)]) + data

    command = (bytes([0]) + word(0) + text(b"STATE") + bytes([0]) + word(5) + text(b"\r\n") +
               bytes([0]) + word(5) + text(b" => ") + bytes([0]) + word(9) + text(b"200 OK") +
               bytes([2, 1]) + bytes([3]) + text(b"Verbunden"))
    flood = (bytes([0]) + word(0) + bytes([250]) + word(0x8000) + b"EVENT CARD INSERTED\r\n" +
             bytes([0]) + word(0) + text(b"EVENT CARD REMOVED\r\n") + bytes([2, 100]) + bytes([1]) + word(40))
    write("corpus", "dialog_text", "command", command)
    write("corpus", "dialog_text", "flood", flood)


if __name__ == "__main__":
    command_seeds()
    hex_seeds()
    feature_seeds()
    pinpad_seeds()
    link_seeds()
    dialog_text_seeds()
