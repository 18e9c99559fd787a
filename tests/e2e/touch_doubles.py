"""The stylus manager, stylus tool and on-screen keyboard doubles: installs
them at the paths the helper uses, scripts the manager's answers and reads
back the starts they record (see tests/doubles/touch_double.cpp)."""
import ntpath
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import BUILD, wait_until

DOUBLES = BUILD / "doubles"
STYLUS_DIR_WIN = r"C:\Program Files\SoftStylus"
TEST_DIR_WIN = r"C:\tunara-test"
HTTP_COMMAND_KEY = r"HKCR\http\shell\open\command"


class TouchDoubles:
    def __init__(self):
        drive_c = Path(os.environ["WINEPREFIX"]) / "drive_c"
        program_files = drive_c / "Program Files"
        self.stylus_dir = program_files / "SoftStylus"
        self.ink_dir = program_files / "Common Files" / "Microsoft Shared" / "Ink"
        self.test_dir = drive_c / "tunara-test"
        self.log = self.test_dir / "touch-starts.log"
        self.script_file = self.test_dir / "stylus-script.txt"
        self.counter = self.test_dir / "stylus-state-count.txt"

    def install(self):
        for name in ("StylusManager.exe", "Stylus.exe", "TabTip.exe"):
            assert (DOUBLES / name).is_file(), f"build the windows preset first: {name}"
        self.stylus_dir.mkdir(parents=True, exist_ok=True)
        self.ink_dir.mkdir(parents=True, exist_ok=True)
        self.test_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(DOUBLES / "StylusManager.exe", self.stylus_dir)
        shutil.copy2(DOUBLES / "Stylus.exe", self.stylus_dir)
        shutil.copy2(DOUBLES / "TabTip.exe", self.ink_dir)
        for path in (self.log, self.script_file, self.counter):
            path.unlink(missing_ok=True)
        return self

    def script(self, *answers):
        """One line per successive " -state" query: exit code, then optional
        delay=<ms> (before exiting) and ready=<ms> (signal the ready event)."""
        self.script_file.write_text("".join(f"{a}\n" for a in answers))

    def place_recorder(self, relative_path):
        """A copy of the recording double elsewhere; returns its Windows path."""
        target = self.test_dir / relative_path
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(DOUBLES / "TabTip.exe", target)
        return ntpath.join(TEST_DIR_WIN, *Path(relative_path).parts)

    def starts(self):
        """Each recorded start as (program file name, command line, directory)."""
        if not self.log.exists():
            return []
        result = []
        # A line still being written has no line end yet.
        lines = self.log.read_bytes().decode("utf-8", errors="replace").split("\n")[:-1]
        for line in lines:
            module, command_line, directory = line.split("\t")
            result.append((ntpath.basename(module), command_line, directory))
        return result

    def wait_starts(self, count, timeout=10):
        def enough():
            starts = self.starts()
            return starts if len(starts) >= count else None
        return wait_until(enough, timeout, what=f"{count} recorded starts")


def wine_reg(*args):
    return subprocess.run(["wine", "reg", *args], capture_output=True, text=True, timeout=60)


@pytest.fixture
def touch_doubles():
    return TouchDoubles().install()


@pytest.fixture
def http_handler(touch_doubles):
    """Makes a recording double the prefix's handler for http addresses, so
    that opening one starts nothing outside the test; restored afterwards."""
    query = wine_reg("query", HTTP_COMMAND_KEY, "/ve")
    previous = None
    for line in query.stdout.splitlines():
        if "REG_SZ" in line:
            previous = line.split("REG_SZ", 1)[1].strip()
    browser = touch_doubles.place_recorder(Path("bin") / "Browser.exe")
    added = wine_reg("add", HTTP_COMMAND_KEY, "/ve", "/d", f'"{browser}" "%1"', "/f")
    assert added.returncode == 0, added.stderr
    try:
        yield "Browser.exe"
    finally:
        if previous is not None:
            wine_reg("add", HTTP_COMMAND_KEY, "/ve", "/d", previous, "/f")
