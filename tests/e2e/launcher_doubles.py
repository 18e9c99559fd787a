"""The UI program and launcher doubles: installs them, steers them through
their command files and reads back what they record (see
tests/doubles/ui/ui_double.cpp and tests/doubles/launcher/launcher_double.cpp).

Both doubles log GetTickCount() with every line, so times from the two
programs can be compared with each other."""
import os
import shutil
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from harness import BUILD, Helper, port_free, wait_until

DOUBLES = BUILD / "doubles"
UI_PATH_WIN = r"C:\Program Files\KELO\Tunara\TunaraUI\TunaraUI.exe"
START_PICTURE_BMP = BUILD / "src" / "app" / "StartPicture.bmp"

SYNC_STARTED, SYNC_CLOSING, SYNC_MINIMIZING, SYNC_SNAPSHOT = 1, 2, 3, 5
SYNC_ACK, SYNC_ACTIVATE, SYNC_RELEASE, SYNC_SNAPSHOT_REQUEST = 10, 11, 15, 16
COPYDATA_FROM_LAUNCHER, COPYDATA_TO_LAUNCHER = 0x01326976, 0x01326977


def drive_c():
    return Path(os.environ["WINEPREFIX"]) / "drive_c"


def test_dir():
    return drive_c() / "tunara-test"


def put_file(path, text):
    """Writes under another name and renames: the doubles never read half a file."""
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(text)
    os.replace(temporary, path)


@dataclass
class UiEvent:
    pid: int
    tick: int
    name: str
    args: list = field(default_factory=list)


class UiDouble:
    """The UI program the helper starts from its fixed path."""

    def __init__(self):
        self.install_dir = drive_c() / "Program Files" / "KELO" / "Tunara" / "TunaraUI"
        self.log = test_dir() / "ui.log"
        self.start_file = test_dir() / "ui-start.txt"
        self.exit_all = test_dir() / "ui-exit-all"

    def install(self):
        exe = DOUBLES / "TunaraUI.exe"
        assert exe.is_file(), "build the windows preset first: TunaraUI.exe"
        self.install_dir.mkdir(parents=True, exist_ok=True)
        test_dir().mkdir(parents=True, exist_ok=True)
        shutil.copy2(exe, self.install_dir / "TunaraUI.exe")
        for path in [self.log, self.start_file, self.exit_all, *test_dir().glob("ui-cmd-*")]:
            path.unlink(missing_ok=True)
        return self

    def uninstall(self):
        (self.install_dir / "TunaraUI.exe").unlink(missing_ok=True)

    def start_options(self, *options):
        """Options for the next start, e.g. "idle-delay=2000", "no-window"."""
        put_file(self.start_file, "".join(f"{o}\n" for o in options))

    def events(self):
        if not self.log.exists():
            return []
        result = []
        # A line still being written has no line end yet.
        for line in self.log.read_bytes().decode("utf-8", "replace").split("\n")[:-1]:
            pid, tick, name, *args = line.split(" ")
            result.append(UiEvent(int(pid), int(tick), name, args))
        return result

    def named(self, name, pid=None):
        return [e for e in self.events() if e.name == name and (pid is None or e.pid == pid)]

    def started(self):
        return [e.pid for e in self.named("START")]

    def wait_event(self, name, pid=None, count=1, timeout=10):
        def enough():
            found = self.named(name, pid)
            return found if len(found) >= count else None
        return wait_until(enough, timeout, what=f"{count} UI event(s) {name}")

    def window_pid(self, timeout=15):
        """The process of the first UI window shown."""
        return self.wait_event("WINDOW", timeout=timeout)[0].pid

    def command(self, pid, *lines):
        path = test_dir() / f"ui-cmd-{pid}.txt"
        wait_until(lambda: not path.exists(), 5, what="the UI to take its last command")
        put_file(path, "".join(f"{line}\n" for line in lines))

    def report(self, pid, timeout=5):
        """The window state as the UI sees it: a dict of 0/1 values."""
        before = len(self.named("STATE", pid))
        self.command(pid, "report")
        state = self.wait_event("STATE", pid, count=before + 1, timeout=timeout)[-1]
        return {k: int(v) for k, v in (arg.split("=") for arg in state.args)}

    def running(self, pid):
        """Alive: it answers a report and has not logged its exit."""
        if self.named("EXIT", pid):
            return False
        try:
            self.report(pid)
            return True
        except TimeoutError:
            return False

    def end_all(self):
        """Every copy that started ends: the helper leaves the UI running."""
        self.exit_all.touch()
        try:
            def all_ended():
                ended = {e.pid for e in self.named("EXIT")}
                return set(self.started()) <= ended
            wait_until(all_ended, 30, what="the UI doubles to end")
        finally:
            self.exit_all.unlink(missing_ok=True)


@dataclass
class Record:
    tick: int
    seq: int
    tag: int
    wparam: int
    count: int
    code: int
    words: list  # header words 1 to 6: marker, window, process, width, height, bpp
    checksum: int
    first: int
    last: int

    @property
    def width(self):
        return self.words[3]

    @property
    def height(self):
        return self.words[4]

    @property
    def bits_per_pixel(self):
        return self.words[5]


class LauncherDouble:
    """A launcher window that records records and answers as told."""

    def __init__(self):
        self.log = test_dir() / "launcher.log"
        self.command_file = test_dir() / "launcher-cmd.txt"
        self.proc = None

    def install(self):
        exe = DOUBLES / "LauncherDouble.exe"
        assert exe.is_file(), "build the windows preset first: LauncherDouble.exe"
        test_dir().mkdir(parents=True, exist_ok=True)
        for path in [self.log, self.command_file, *test_dir().glob("launcher-record-*")]:
            path.unlink(missing_ok=True)
        return self

    def start(self, *commands):
        """Starts it with the given commands already in force."""
        if commands:
            put_file(self.command_file, "".join(f"{c}\n" for c in commands))
        self.proc = subprocess.Popen(["wine", str(DOUBLES / "LauncherDouble.exe")],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        wait_until(lambda: self.lines("READY"), 60, what="the launcher double")
        return self

    def command(self, *lines):
        wait_until(lambda: not self.command_file.exists(), 5,
                   what="the launcher to take its last command")
        put_file(self.command_file, "".join(f"{line}\n" for line in lines))
        wait_until(lambda: not self.command_file.exists(), 5,
                   what="the launcher to take the command")

    def lines(self, kind=None):
        if not self.log.exists():
            return []
        result = []
        for line in self.log.read_bytes().decode("utf-8", "replace").split("\n")[:-1]:
            tick, name, *args = line.split(" ")
            if kind is None or name == kind:
                result.append((int(tick), name, args))
        return result

    def records(self):
        result = []
        for tick, _, args in self.lines("RECORD"):
            values = dict(a.split("=", 1) for a in args if "=" in a)
            plain = [a for a in args if "=" not in a]
            result.append(Record(
                tick=tick, seq=int(plain[0]), tag=int(values["tag"], 16),
                wparam=int(values["wparam"], 16), count=int(values["bytes"]),
                code=int(values["code"]), words=[int(w) for w in plain[1:7]],
                checksum=int(values["sum"], 16), first=int(values["first"], 16),
                last=int(values["last"], 16)))
        return result

    def wait_records(self, count, timeout=10):
        def enough():
            records = self.records()
            return records if len(records) >= count else None
        return wait_until(enough, timeout, what=f"{count} launcher records")

    def done_tick(self, seq):
        """When the launcher's handler of record seq returned."""
        return next(t for t, _, args in self.lines("DONE") if int(args[0]) == seq)

    def sent(self):
        """Requests sent: (tick, code, ok)."""
        return [(t, int(a[0]), a[4] == "ok=1") for t, _, a in self.lines("SENT")]

    def wait_sent(self, code, count=1, timeout=10):
        def enough():
            found = [s for s in self.sent() if s[1] == code]
            return found if len(found) >= count else None
        return wait_until(enough, timeout, what=f"request {code} sent")

    def dumped(self, seq):
        return (test_dir() / f"launcher-record-{seq}.bin").read_bytes()

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.command("exit")
                self.proc.wait(timeout=10)
            except (TimeoutError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None


@pytest.fixture
def ui_double():
    ui = UiDouble().install()
    try:
        yield ui
    finally:
        ui.end_all()


@pytest.fixture
def launcher():
    """An installed, not yet started launcher double; stopped afterwards."""
    double = LauncherDouble().install()
    try:
        yield double
    finally:
        double.stop()


@pytest.fixture
def start_helper():
    """Starts helpers on demand (after the doubles are set up); all are
    stopped at the end, whatever the test does."""
    started = []

    def start():
        assert port_free(), "another helper still holds port 33645"
        helper = Helper().start()
        started.append(helper)
        return helper

    try:
        yield start
    finally:
        for helper in started:
            helper.stop()


def elapsed_since(start):
    return time.monotonic() - start
