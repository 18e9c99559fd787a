"""The whole program seen from outside: its start-up order, its hidden frame,
its answers to the system and the resources in the executable. A probe
program (tests/tools/helper_probe.cpp) looks at the helper the way any
other program on the machine can."""
import json
import struct
import subprocess
import tempfile

import pytest

from harness import BUILD, HELPER_EXE
from launcher_doubles import UI_PATH_WIN, start_helper  # noqa: F401 (fixture)

PROBE = BUILD / "tools" / "HelperProbe.exe"
MINIMIZE_FRAME_BYTES = 37

WS_VISIBLE, WS_BORDER, WS_CAPTION, WS_SYSMENU = 0x10000000, 0x00800000, 0x00C00000, 0x00080000
WS_CHILD, WS_POPUP, WS_GROUP = 0x40000000, 0x80000000, 0x00020000
DS_SETFONT, DS_MODALFRAME, DS_FIXEDSYS = 0x40, 0x80, 0x08
FWS_ADDTOTITLE = 0x8000
WS_EX_CLIENTEDGE = 0x200
BS_DEFPUSHBUTTON, SS_ICON, SS_NOPREFIX = 0x1, 0x3, 0x80
FVIRTKEY, FSHIFT, FCONTROL, FALT = 0x01, 0x04, 0x08, 0x10
VK_BACK, VK_DELETE, VK_INSERT, VK_F6 = 0x08, 0x2E, 0x2D, 0x75
WM_QUERYENDSESSION, WM_POWERBROADCAST = 0x0011, 0x0218

ID_EDIT_COPY, ID_EDIT_CUT, ID_EDIT_PASTE, ID_EDIT_UNDO = 0xE122, 0xE123, 0xE125, 0xE12B
ID_APP_ABOUT, ID_APP_EXIT, ID_NEXT_PANE, ID_PREV_PANE = 0xE140, 0xE141, 0xE150, 0xE151


def probe(*args):
    """Runs the probe; returns its JSON lines. Its output goes through a
    file: the first Wine program of a session starts Wine's own background
    services, which would inherit a pipe and hold it open for good."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", str(PROBE), *args], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.DEVNULL, timeout=60).returncode
        out.seek(0)
        lines = [json.loads(line) for line in out.read().decode().splitlines()
                 if line.startswith("{")]
    assert code == 0, (code, lines)
    return lines


def of_kind(lines, kind):
    return [line for line in lines if line["kind"] == kind]


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + str(path.resolve()).replace("/", "\\")


# Dialog templates as stored (DLGTEMPLATEEX), read apart field by field.

class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return value

    def name_or_ordinal(self):
        first = self.take("H")
        if first == 0:
            return ""
        if first == 0xFFFF:
            return self.take("H")
        self.pos -= 2
        return self.text()

    def align(self):
        self.pos = (self.pos + 3) & ~3


def parse_dialog(data):
    r = Reader(data)
    version, signature, _help, exstyle, style, count, x, y, cx, cy = r.take("HHIIIHhhhh")
    assert (version, signature) == (1, 0xFFFF), "not an extended dialog template"
    dialog = {"exstyle": exstyle, "style": style, "rect": (x, y, cx, cy),
              "menu": r.name_or_ordinal(), "class": r.name_or_ordinal(), "caption": r.text()}
    if style & DS_SETFONT:
        dialog["font"] = r.take("HHBB")[0], r.text()
    dialog["items"] = []
    for _ in range(count):
        r.align()
        _help, item_exstyle, item_style, x, y, cx, cy, item_id = r.take("IIIhhhhI")
        item = {"style": item_style, "rect": (x, y, cx, cy), "id": item_id,
                "class": r.name_or_ordinal(), "title": r.name_or_ordinal()}
        creation_data = r.take("H")
        r.pos += creation_data
        dialog["items"].append(item)
    return dialog


@pytest.fixture(scope="module")
def resources():
    lines = probe("resources", windows_path(HELPER_EXE))
    assert not of_kind(lines, "error"), lines
    return lines


def test_strings(resources):
    strings = {line["id"]: line["text"] for line in of_kind(resources, "string")}
    assert strings == {
        128: "TunaraHelper",
        0xE000: "TunaraHelper",
        100: "OLE initialization failed.  Make sure that the OLE libraries are the correct "
             "version.",
        104: "Windows sockets initialization failed.",
        0xE001: "Ready",
        ID_EDIT_COPY: "Copy the selection and put it on the Clipboard\nCopy",
        ID_EDIT_CUT: "Cut the selection and put it on the Clipboard\nCut",
        ID_EDIT_PASTE: "Insert Clipboard contents\nPaste",
        ID_EDIT_UNDO: "Undo the last action\nUndo",
        ID_APP_ABOUT: "Display program information, version number and copyright\nAbout",
        ID_APP_EXIT: "Quit the application; prompts to save documents\nExit",
        ID_NEXT_PANE: "Switch to the next window pane\nNext Pane",
        ID_PREV_PANE: "Switch back to the previous window pane\nPrevious Pane",
    }


def test_menu_and_accelerators(resources):
    (menu,) = of_kind(resources, "menu")
    assert menu["items"] == [
        {"text": "&File", "items": [{"text": "E&xit", "id": ID_APP_EXIT}]},
        {"text": "&Edit", "items": [
            {"text": "&Undo\tCtrl+Z", "id": ID_EDIT_UNDO},
            {"separator": True},
            {"text": "Cu&t\tCtrl+X", "id": ID_EDIT_CUT},
            {"text": "&Copy\tCtrl+C", "id": ID_EDIT_COPY},
            {"text": "&Paste\tCtrl+V", "id": ID_EDIT_PASTE}]},
        {"text": "&Help", "items": [{"text": "&About KeloRadioHelper...", "id": ID_APP_ABOUT}]},
    ]
    (table,) = of_kind(resources, "accelerators")
    # NOINVERT (0x02) is obsolete; what counts is the key, its modifiers
    # and the command.
    keys = sorted((flags & ~0x02, key, command) for flags, key, command in table["entries"])
    assert keys == sorted([
        (FVIRTKEY | FCONTROL, ord("Z"), ID_EDIT_UNDO), (FVIRTKEY | FALT, VK_BACK, ID_EDIT_UNDO),
        (FVIRTKEY | FCONTROL, ord("X"), ID_EDIT_CUT), (FVIRTKEY | FSHIFT, VK_DELETE, ID_EDIT_CUT),
        (FVIRTKEY | FCONTROL, ord("C"), ID_EDIT_COPY),
        (FVIRTKEY | FCONTROL, VK_INSERT, ID_EDIT_COPY),
        (FVIRTKEY | FCONTROL, ord("V"), ID_EDIT_PASTE),
        (FVIRTKEY | FSHIFT, VK_INSERT, ID_EDIT_PASTE),
        (FVIRTKEY, VK_F6, ID_NEXT_PANE), (FVIRTKEY | FSHIFT, VK_F6, ID_PREV_PANE),
    ])


def test_pictures(resources):
    assert of_kind(resources, "bitmap") == [
        {"kind": "bitmap", "id": 133, "width": 1024, "height": 600, "bits": 24}]
    sizes = sorted((icon["width"], icon["height"]) for icon in of_kind(resources, "icon"))
    assert sizes == [(16, 16), (32, 32), (48, 48)]


def raw(resources, type_, id_):
    (found,) = [line for line in of_kind(resources, "raw")
                if (line["type"], line["id"]) == (type_, id_)]
    return bytes.fromhex(found["hex"])


def test_about_box_template(resources):
    about = parse_dialog(raw(resources, 5, 100))
    assert about["rect"] == (0, 0, 170, 62)
    assert about["style"] & (DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP) == \
        DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP
    assert about["caption"] == "About KeloRadioHelper"
    assert about["font"] == (8, "MS Shell Dlg")
    icon, title, note, ok = about["items"]
    assert (icon["class"], icon["title"], icon["rect"][:2]) == (0x0082, 128, (14, 14))
    assert icon["style"] & 0x1F == SS_ICON
    assert (title["class"], title["title"], title["rect"]) == \
        (0x0082, "KeloRadioHelper, Version 1.0", (42, 14, 114, 8))
    assert note["class"] == 0x0082 and note["title"] and note["rect"] == (42, 26, 114, 8)
    assert (ok["class"], ok["title"], ok["id"], ok["rect"]) == (0x0080, "OK", 1, (113, 41, 50, 14))
    assert ok["style"] & 0xF == BS_DEFPUSHBUTTON


def test_player_dialog_and_its_initialisation_data(resources):
    player = parse_dialog(raw(resources, 5, 130))
    assert player["rect"] == (0, 0, 316, 184)
    assert player["style"] & WS_VISIBLE == 0
    control = [item for item in player["items"] if item["id"] == 1000]
    assert [c["class"] for c in control] == ["{6BF52A52-394A-11D3-B153-00C04F79FAA6}"]
    assert control[0]["rect"] == (7, 7, 302, 148)

    data = raw(resources, 240, 130)
    control_id, message, length = struct.unpack_from("<HHI", data)
    assert (control_id, message, length) == (1000, 0x0376, 166)
    # One record, then the end mark.
    assert data[8 + length:] == b"\0\0"


def test_manifest_and_version(resources):
    manifest = raw(resources, 24, 1).decode()
    assert 'level="asInvoker"' in manifest and 'uiAccess="false"' in manifest
    assert 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' in manifest
    (version,) = of_kind(resources, "version")
    assert version["file_version"] == [1, 0, 0, 1]
    assert version["ProductName"] == "TunaraHelper"
    assert version["OriginalFilename"] == "TunaraHelper.exe"


# The running program.

def test_the_socket_accepts_before_the_ui_starts(ui_double, start_helper):
    # The UI double connects as its first act; the helper takes the
    # connection as one of its UIs.
    ui_double.start_options("connect")
    helper = start_helper()
    (port,) = ui_double.wait_event("PORT", timeout=20)
    assert port.args == ["accepted"]
    (start,) = ui_double.named("START")
    assert UI_PATH_WIN.lower() in " ".join(start.args).lower()

    conn = helper.connect()
    conn.send_command("launcherMinimize")
    assert conn.read_event()[0] == "minimizeEvent"
    ui_double.wait_event("RECEIVED", port.pid)
    assert ui_double.named("RECEIVED")[-1].args == [str(MINIMIZE_FRAME_BYTES)]

    # The helper lives as long as any UI is connected.
    conn.close()
    ui_double.command(port.pid, "exit")
    assert helper.wait_exit(timeout=10) == 0


def test_the_frame_is_never_shown_and_grants_every_system_request(helper):
    conn = helper.connect()
    frame, *children = probe("frame")
    assert frame["kind"] == "frame" and frame["visible"] == 0
    assert frame["style"] & (WS_CAPTION | WS_SYSMENU | FWS_ADDTOTITLE) == \
        WS_CAPTION | WS_SYSMENU | FWS_ADDTOTITLE
    assert frame["exstyle"] & WS_EX_CLIENTEDGE == 0
    (view,) = [child for child in children if child["pane"]]
    assert view["style"] & (WS_CHILD | WS_BORDER) == WS_CHILD
    assert view["exstyle"] & WS_EX_CLIENTEDGE

    requests = [(WM_QUERYENDSESSION, 0), (WM_QUERYENDSESSION, 0x80000000)]
    # Every power event, suspend requests first among them.
    requests += [(WM_POWERBROADCAST, event)
                 for event in (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x12, 0x8013)]
    for message, wparam in requests:
        (sent,) = probe("send", hex(message), hex(wparam), "0")
        assert (sent["delivered"], sent["result"]) == (1, 1), (hex(message), hex(wparam))

    # Nothing of that showed the frame or stopped the service.
    (frame, *_) = probe("frame")
    assert frame["visible"] == 0
    conn.send_command("launcherMinimize")
    assert conn.read_event()[0] == "minimizeEvent"


def test_about_box_is_modal_over_the_hidden_frame(helper):
    conn = helper.connect()
    lines = probe("about")
    (box,) = of_kind(lines, "about")
    assert box["text"] == "About KeloRadioHelper" and box["visible"] == 1
    assert box["owner_is_frame"] == 1
    assert (box["frame_enabled"], box["frame_visible"]) == (0, 0)
    texts = [item["text"] for item in of_kind(lines, "about_item")]
    assert "KeloRadioHelper, Version 1.0" in texts and "OK" in texts
    (closed,) = of_kind(lines, "about_closed")
    assert (closed["closed"], closed["frame_enabled"], closed["frame_visible"]) == (1, 1, 0)
    conn.send_command("launcherMinimize")
    assert conn.read_event()[0] == "minimizeEvent"
