"""Ends the child processes a test started (servers, sources, recorders):
each is asked to go, all at once so that their shutdowns overlap, then
killed if it has not gone in time."""

import subprocess


def end_all(procs, timeout=5, ask=subprocess.Popen.terminate):
    live = [proc for proc in procs if proc is not None and proc.poll() is None]
    for proc in live:
        ask(proc)
    for proc in live:
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
