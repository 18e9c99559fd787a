"""The test player: registers it for the player control's class id, scripts
its events and reads back what it records (see
tests/doubles/player/player_double.cpp).

Registration replaces whatever player the prefix had (Wine's own) for the
tests of one module and puts it back afterwards, so that other tests keep
the prefix as they found it."""
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

import pytest

from harness import BUILD, wait_until
from launcher_doubles import drive_c, test_dir

DOUBLES = BUILD / "doubles"
PLAYER_CLSID = "{6BF52A52-394A-11D3-B153-00C04F79FAA6}"
PLAYER_DLL_WIN = r"C:\Program Files\TunaraTest\TunaraTestPlayer.dll"
SERVER_KEYS = {
    # Wine 8 looks classes up in the machine's part only; the user's part is
    # set too, for COM implementations that prefer it.
    "HKEY_LOCAL_MACHINE": rf"Software\Classes\CLSID\{PLAYER_CLSID}\InprocServer32",
    "HKEY_CURRENT_USER": rf"Software\Classes\CLSID\{PLAYER_CLSID}\InprocServer32",
}

# The control's initialisation stream from the helper's dialog resources.
INIT_STREAM = bytes.fromhex(
    "0000000000030000"
    "080000000000"                  # URL: no text at all
    "0500000000000000f03f"          # rate 1.0
    "030000000000"                  # balance 0
    "05000000000000000000"          # currentPosition 0.0
    "0800020000000000"              # defaultFrame ""
    "030001000000"                  # playCount 1
    "0b00ffff"                      # autoStart
    "030000000000"                  # currentMarker 0
    "0b00ffff"                      # invokeURLs
    "0800020000000000"              # baseURL ""
    "030032000000"                  # volume 50
    "0b000000"                      # mute
    "08000a00000066007500" "6c006c000000"  # uiMode "full"
    "0b000000" "0b000000"           # stretchToFit, windowlessVideo
    "0b00ffff" "0b00ffff"           # enabled, enableContextMenu
    "0b000000"                      # fullScreen
    "0800020000000000" "0800020000000000"  # SAMIStyle, SAMILang
    "0800020000000000" "0800020000000000"  # SAMIFilename, captioningID
    "0b000000"                      # enableErrorDialogs
    "d22e0000e8180000")             # extent 11986 x 6376


def run_wine(*args):
    """Runs a Wine program; returns (exit code, output). The output goes
    through a file: Wine's service processes inherit a pipe and keep it open
    long after the program ended."""
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL, timeout=60)
        out.seek(0)
        return result.returncode, out.read().decode("utf-8", "replace")


def reg_value(key, name=None):
    """A REG_SZ value, or None if the key or value is missing."""
    args = ["query", key] + (["/v", name] if name else ["/ve"])
    code, output = run_wine("reg", *args)
    if code != 0:
        return None
    for line in output.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[1] == "REG_SZ":
            return parts[2]
    return None


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def import_reg(lines):
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False,
                                     dir=drive_c()) as f:
        f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
        path = Path(f.name)
    try:
        code, output = run_wine("regedit", "/S", "C:\\" + path.name)
        assert code == 0, output
    finally:
        path.unlink(missing_ok=True)


@dataclass
class Call:
    """One line of the player's record: the kind, then its fields."""
    kind: str
    fields: list

    def text(self):
        """The string argument of a call, decoded."""
        arg = self.fields[-1]
        assert arg.startswith("s:"), self
        return bytes.fromhex(arg[2:]).decode("utf-8")


class PlayerDouble:
    def __init__(self):
        self.install_dir = drive_c() / "Program Files" / "TunaraTest"
        self.log = test_dir() / "player-calls.log"
        self.stream = test_dir() / "player-stream.bin"
        self.script_file = test_dir() / "player-script.txt"
        self.saved = {}

    def install(self):
        dll = DOUBLES / "TunaraTestPlayer.dll"
        assert dll.is_file(), "build the windows preset first: TunaraTestPlayer.dll"
        self.install_dir.mkdir(parents=True, exist_ok=True)
        test_dir().mkdir(parents=True, exist_ok=True)
        # Replaced, never overwritten in place: a helper that is still
        # ending may have the old file mapped.
        temporary = self.install_dir / "TunaraTestPlayer.dll.tmp"
        shutil.copy2(dll, temporary)
        os.replace(temporary, self.install_dir / "TunaraTestPlayer.dll")
        return self

    def register(self, server=PLAYER_DLL_WIN):
        """Registers server (the test player unless told otherwise) for the
        player's class id; what was there first is kept for unregister."""
        if not self.saved:
            for hive, key in SERVER_KEYS.items():
                full = f"{hive}\\{key}"
                self.saved[hive] = (reg_value(full), reg_value(full, "ThreadingModel"))
        lines = []
        for hive, key in SERVER_KEYS.items():
            lines += [f"[{hive}\\{key}]", f'@="{reg_escape(server)}"',
                      '"ThreadingModel"="Apartment"', ""]
        import_reg(lines)
        assert reg_value(f"HKEY_LOCAL_MACHINE\\{SERVER_KEYS['HKEY_LOCAL_MACHINE']}") == server
        return self

    def unregister(self):
        lines = []
        for hive, key in SERVER_KEYS.items():
            server, model = self.saved.get(hive, (None, None))
            if server is None:
                lines += [f"[-{hive}\\Software\\Classes\\CLSID\\{PLAYER_CLSID}]", ""]
            else:
                lines += [f"[{hive}\\{key}]", f'@="{reg_escape(server)}"']
                if model is not None:
                    lines.append(f'"ThreadingModel"="{reg_escape(model)}"')
                lines.append("")
        import_reg(lines)
        self.saved = {}

    def reset(self):
        for path in (self.log, self.stream, self.script_file):
            path.unlink(missing_ok=True)
        return self

    # What it recorded.

    def lines(self):
        if not self.log.exists():
            return []
        # A line still being written has no line end yet.
        raw = self.log.read_bytes().decode("utf-8", "replace").split("\n")[:-1]
        return [Call(line.split(" ")[0], line.split(" ")[1:]) for line in raw]

    def calls(self, obj=None, dispid=None):
        """The automation calls as (object, dispid, kind, argument or None)."""
        result = []
        for call in self.lines():
            if call.kind != "call":
                continue
            o, d, k, *rest = call.fields
            if (obj is None or o == obj) and (dispid is None or int(d) == dispid):
                result.append((o, int(d), k, rest[0] if rest else None))
        return result

    def errors(self):
        return [c for c in self.lines() if c.kind == "error"]

    def wait_line(self, predicate, what, timeout=10):
        return wait_until(lambda: [c for c in self.lines() if predicate(c)], timeout,
                          what=what)

    def wait_calls(self, count, obj=None, dispid=None, timeout=10):
        def enough():
            found = self.calls(obj, dispid)
            return found if len(found) >= count else None
        return wait_until(enough, timeout, what=f"{count} call(s) {obj} {dispid}")

    def wait_created(self, timeout=20):
        """Waits until the helper has hosted and activated the control."""
        self.wait_line(lambda c: c.kind == "activate", "the control to be activated", timeout)

    # Its events.

    def script(self, *commands):
        """Runs commands (tuples of fields) on the control's thread and
        waits until they are done, events and their handling included."""
        wait_until(lambda: not self.script_file.exists(), 5, what="the last script")
        done = len([c for c in self.lines() if c.kind == "script-done"])
        text = "".join("\t".join(str(f) for f in cmd) + "\n" for cmd in commands)
        temporary = self.script_file.with_name(self.script_file.name + ".tmp")
        temporary.write_bytes(text.encode("utf-8"))
        os.replace(temporary, self.script_file)
        wait_until(lambda: len([c for c in self.lines() if c.kind == "script-done"]) > done,
                   10, what="the script to run")


@pytest.fixture(scope="module")
def player_registered():
    """The test player, registered for the player's class id while the tests
    of one module run; Wine's own registration comes back afterwards."""
    double = PlayerDouble().install()
    double.register()
    try:
        yield double
    finally:
        double.unregister()


@pytest.fixture
def player(player_registered):
    """The registered test player with an empty record, for one test. Ask for
    it before `helper`, so that the helper finds it when it starts."""
    return player_registered.reset()
