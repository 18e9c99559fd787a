import pytest

from harness import Helper, port_free
from launcher_doubles import ui_double  # noqa: F401 (fixture)


@pytest.fixture
def helper(ui_double):
    """A started helper; stopped (and the port freed) whatever the test does.
    The helper starts the UI program from its fixed path as it starts and ends
    at once without it, so the UI double is installed first; every copy it
    started is ended afterwards, since the helper leaves the UI running."""
    assert port_free(), "another helper still holds port 33645"
    h = Helper().start()
    try:
        yield h
    finally:
        h.stop()
