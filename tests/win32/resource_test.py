"""The resources compiled into the Windows client, read back out of the
executable: every dialog template control by control, the tray menu and the
icon groups, all in the German language block.

    python3 tests/win32/resource_test.py build/mingw/src/win32/velmora-client.exe
"""

import os
import struct
import sys
import unittest

EXE = None
GERMAN = 0x0407  # LANG_GERMAN, SUBLANG_GERMAN: 1031
RT_ICON, RT_MENU, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 4, 5, 14, 16, 24
VERSION = None

WS_POPUP, WS_VISIBLE, WS_DISABLED = 0x80000000, 0x10000000, 0x08000000
WS_CAPTION, WS_BORDER, WS_VSCROLL, WS_HSCROLL = 0x00C00000, 0x00800000, 0x00200000, 0x00100000
WS_SYSMENU, WS_GROUP, WS_TABSTOP, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x80000, 0x20000, 0x10000, 0x20000, 0x10000
DS_SETFONT, DS_MODALFRAME, DS_CENTER = 0x40, 0x80, 0x800
ES_MULTILINE, ES_PASSWORD, ES_AUTOHSCROLL, ES_READONLY, ES_NUMBER = 0x4, 0x20, 0x80, 0x800, 0x2000
BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_GROUPBOX, BS_TYPEMASK = 0x1, 0x3, 0x7, 0xF
SS_CENTER, SS_RIGHT, SS_TYPEMASK = 0x1, 0x2, 0x1F
CBS_DROPDOWNLIST, CBS_SORT = 0x3, 0x100
BUTTON, EDIT, STATIC, COMBOBOX = 0x80, 0x81, 0x82, 0x85
CLASS_ATOMS = {"BUTTON": BUTTON, "EDIT": EDIT, "STATIC": STATIC, "COMBOBOX": COMBOBOX}


def read_resources(exe):
    """{(type, name, language): data} from the executable's resource tree."""
    with open(exe, "rb") as f:
        pe = f.read()
    header = struct.unpack_from("<I", pe, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", pe, header + 6)
    optional = header + 24
    rva = struct.unpack_from("<I", pe, optional + 112 + 2 * 8)[0]  # data directory 2: resources
    table = optional + optional_size
    for i in range(sections):
        _, _, address, raw_size, raw_at = struct.unpack_from("<8sIIII", pe, table + 40 * i)
        if address <= rva < address + raw_size:
            base, delta = raw_at + rva - address, address - raw_at
    resources = {}

    def name_of(entry):
        if entry & 0x80000000:
            at = base + (entry & 0x7FFFFFFF)
            length = struct.unpack_from("<H", pe, at)[0]
            return pe[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        return entry

    def walk(at, path):
        named, ids = struct.unpack_from("<HH", pe, base + at + 12)
        for i in range(named + ids):
            entry, target = struct.unpack_from("<II", pe, base + at + 16 + 8 * i)
            key = path + (name_of(entry),)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, key)
            else:
                data_rva, size = struct.unpack_from("<II", pe, base + target)
                resources[key] = pe[data_rva - delta:data_rva - delta + size]

    walk(0, ())
    return resources


def sz_or_ord(data, at):
    """A 0xFFFF ordinal or a zero-ended UTF-16 text, and the offset after it."""
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    style, _, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    menu, p = sz_or_ord(data, 18)
    klass, p = sz_or_ord(data, p)
    caption, p = sz_or_ord(data, p)
    font = None
    if style & DS_SETFONT:
        size = struct.unpack_from("<H", data, p)[0]
        face, p = sz_or_ord(data, p + 2)
        font = (face, size)
    controls = []
    for _ in range(count):
        p = (p + 3) & ~3
        cstyle, _, cx_, cy_, cw, ch, cid = struct.unpack_from("<IIhhhhH", data, p)
        kind, p = sz_or_ord(data, p + 18)
        text, p = sz_or_ord(data, p)
        extra = struct.unpack_from("<H", data, p)[0]
        p += 2 + extra
        # A class given by name is the same control as its atom.
        kind = CLASS_ATOMS.get(kind.upper(), kind) if isinstance(kind, str) else kind
        controls.append(dict(style=cstyle, pos=(cx_, cy_, cw, ch), id=cid if cid != 0xFFFF else None,
                             kind=kind, text=text))
    return dict(style=style, size=(cx, cy), menu=menu, caption=caption, font=font, controls=controls)


def version_info(res):
    """(file version, product version, {string: value}) of the VERSIONINFO."""
    [data] = [d for (kind, _, _), d in res.items() if kind == RT_VERSION]

    def block(at):
        length, value_length, text = struct.unpack_from("<HHH", data, at)
        end = data.index(b"\0\0", at + 6)
        end += (end - at) % 2  # the key's terminator lies on a character boundary
        key = data[at + 6:end].decode("utf-16-le")
        p = (end + 2 + 3) & ~3
        size = value_length * 2 if text else value_length
        value = data[p:p + size]
        children, c = [], (p + size + 3) & ~3
        while c < at + length:
            children.append(block(c))
            c = (c + children[-1][3] + 3) & ~3
        return key, value, children, length

    key, fixed, children, _ = block(0)
    assert key == "VS_VERSION_INFO" and struct.unpack_from("<I", fixed)[0] == 0xFEEF04BD
    ms, ls, pms, pls = struct.unpack_from("<IIII", fixed, 8)

    def dotted(high, low):
        return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

    strings = {}
    for name, _, tables, _ in children:
        for _, _, entries, _ in tables if name == "StringFileInfo" else ():
            for k, v, _, _ in entries:
                strings[k] = v.decode("utf-16-le").rstrip("\0")
    return dotted(ms, ls), dotted(pms, pls), strings


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.res = read_resources(EXE)

    def resource(self, kind, name):
        found = [lang for (k, n, lang) in self.res if k == kind and n == name]
        self.assertEqual(found, [GERMAN], "resource %s/%s in the German block only" % (kind, name))
        return self.res[(kind, name, GERMAN)]

    def dialog(self, name):
        return parse_dialog(self.resource(RT_DIALOG, name))

    def assertControls(self, dialog, expected):
        """expected: (id, class, text, position, bits set, bits clear) in template order."""
        self.assertEqual(len(dialog["controls"]), len(expected))
        for control, (cid, kind, text, pos, on, off) in zip(dialog["controls"], expected):
            with self.subTest(id=cid, text=text):
                self.assertEqual((control["id"], control["kind"], control["text"], control["pos"]),
                                 (cid, kind, text, pos))
                self.assertEqual(control["style"] & on, on, hex(control["style"]))
                self.assertEqual(control["style"] & off, 0, hex(control["style"]))


class ConnectionDialog(Resources):
    def test_frame(self):
        d = self.dialog(101)
        self.assertEqual(d["style"], 0x10CA08C1)  # visible, caption, system menu, minimize box, modal frame
        self.assertEqual((d["caption"], d["size"], d["font"], d["menu"]),
                         ("Velmora Client", (423, 256), ("MS Sans Serif", 8), ""))

    def test_controls_in_tab_order(self):
        edit, tab = WS_BORDER | WS_TABSTOP, WS_TABSTOP
        button_off = BS_DEFPUSHBUTTON  # no push button is a default button
        self.assertControls(self.dialog(101), [
            (None, BUTTON, "Connection with remote virtual Smartcard Reader", (7, 7, 409, 33), BS_GROUPBOX, 0),
            (None, STATIC, "Remote Host:", (13, 23, 44, 14), 0, SS_TYPEMASK),
            (1001, EDIT, "", (61, 21, 121, 12), edit | ES_AUTOHSCROLL | WS_GROUP, ES_MULTILINE),
            (None, STATIC, "Port:", (191, 23, 17, 14), 0, SS_TYPEMASK),
            (1002, EDIT, "", (210, 21, 37, 12), edit | ES_AUTOHSCROLL, ES_MULTILINE | WS_GROUP),
            (1003, BUTTON, "Connect", (258, 19, 66, 14), tab, button_off),
            (1004, BUTTON, "Disconnect", (330, 19, 78, 14), tab, button_off),
            (None, BUTTON, "Reader Selection", (7, 46, 409, 33), BS_GROUPBOX, 0),
            (None, STATIC, "Reader:", (13, 62, 29, 14), 0, SS_TYPEMASK),
            (1005, COMBOBOX, "", (44, 60, 210, 175), CBS_DROPDOWNLIST | WS_VSCROLL | tab | WS_GROUP, CBS_SORT),
            (1006, BUTTON, "", (262, 60, 12, 12), BS_AUTOCHECKBOX | WS_DISABLED, 0),
            (None, STATIC, "Prot:", (271, 62, 20, 10), SS_RIGHT, 0),
            (1007, STATIC, "", (294, 62, 18, 10), 0, SS_TYPEMASK),
            (1008, BUTTON, "Open", (317, 59, 43, 14), tab, button_off),
            (1009, BUTTON, "Close", (366, 59, 42, 14), tab, button_off),
            (None, BUTTON, "Status", (7, 85, 409, 38), BS_GROUPBOX, 0),
            (1010, STATIC, "", (13, 94, 397, 25), 0, SS_TYPEMASK),
            (1011, EDIT, "", (7, 130, 409, 120), ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_BORDER,
             ES_AUTOHSCROLL | WS_HSCROLL),
        ])


class AboutDialog(Resources):
    def test_frame_and_controls(self):
        d = self.dialog(102)
        self.assertEqual(d["style"] & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
                         WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME)
        self.assertEqual((d["caption"], d["size"], d["font"]), ("about Velmora Client", (187, 94), ("MS Sans Serif", 8)))
        self.assertControls(d, [
            (None, STATIC, "Velmora Client", (7, 7, 173, 17), SS_CENTER, 0),
            (1, BUTTON, "OK", (61, 72, 51, 15), BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
        ])


class PinEntryDialog(Resources):
    def test_frame_and_controls(self):
        d = self.dialog(107)
        wanted = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER
        self.assertEqual(d["style"] & wanted, wanted)
        self.assertEqual(d["style"] & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0)
        self.assertEqual((d["caption"], d["size"], d["font"]), ("PIN Entry", (135, 26), ("MS Sans Serif", 10)))
        self.assertControls(d, [
            (1012, EDIT, "", (7, 7, 66, 12), ES_NUMBER | ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP,
             ES_MULTILINE),
            (1, BUTTON, "OK", (80, 7, 48, 12), BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
        ])


class TrayMenu(Resources):
    def test_one_popup_with_three_items_in_order(self):
        data = self.resource(RT_MENU, 103)
        self.assertEqual(struct.unpack_from("<HH", data, 0), (0, 0))  # a plain MENU
        flags, p = struct.unpack_from("<H", data, 4)[0], 6
        self.assertTrue(flags & 0x10, "the first item opens a popup")
        self.assertTrue(flags & 0x80, "and it is the only top-level item")
        _, p = sz_or_ord(data, p)
        items = []
        while True:
            flags, item = struct.unpack_from("<HH", data, p)
            text, p = sz_or_ord(data, p + 4)
            items.append((text, item, flags & ~0x80))
            if flags & 0x80:
                break
        self.assertEqual(items, [("Open", 40012, 0), ("Exit Velmora Client", 40013, 0),
                                 ("About Velmora Client", 40011, 0)])


class Icons(Resources):
    def group(self, name):
        data = self.resource(RT_GROUP_ICON, name)
        count = struct.unpack_from("<HHH", data, 0)[2]
        entries = []
        for i in range(count):
            w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
            image = self.res[(RT_ICON, icon_id, GERMAN)]
            self.assertEqual(len(image), size)
            header = struct.unpack_from("<IiiHH", image, 0)
            self.assertEqual((header[1], header[2], header[4]), (w or 256, 2 * (h or 256), bits))
            entries.append((w, bits))
        return sorted(entries)

    def test_class_icon_in_three_sizes_and_two_depths(self):
        self.assertEqual(self.group(104), sorted((s, b) for s in (48, 32, 16) for b in (8, 4)))

    def test_tray_icon_is_16_pixels_in_two_depths(self):
        self.assertEqual(self.group(105), [(16, 4), (16, 8)])


class Version(Resources):
    def test_carries_the_project_version(self):
        if not VERSION:
            self.skipTest("give the project version after the executable")
        file_version, product_version, strings = version_info(self.res)
        self.assertEqual((file_version, product_version), (VERSION + ".0", VERSION + ".0"))
        self.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (VERSION, VERSION))
        self.assertEqual(strings["ProductName"], "Velmora Client")
        self.assertEqual(strings["OriginalFilename"], "velmora-client.exe")


class Manifest(Resources):
    def test_dpi_aware_with_version_6_common_controls(self):
        [text] = [d.decode() for (kind, name, _), d in self.res.items() if (kind, name) == (RT_MANIFEST, 1)]
        self.assertRegex(text, r'name="Microsoft.Windows.Common-Controls" version="6\.0\.0\.0"')
        self.assertRegex(text, r">true</dpiAware>")
        self.assertRegex(text, r'level="asInvoker"')


if __name__ == "__main__":
    EXE = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith(".exe") else os.path.join(
        os.path.dirname(__file__), "..", "..", "build", "mingw", "src", "win32", "velmora-client.exe")
    if len(sys.argv) > 1 and sys.argv[1][:1].isdigit():
        VERSION = sys.argv.pop(1)
    unittest.main()
