"""What the tests that drive the built window program from outside share: a
private X server, failing with a reason, waiting for a condition, the program
copied into a folder of its own, and the simulated КВТ-64 they put on the line.

The scripts import it with this folder on their path:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
"""
import os
import shutil
import subprocess
import sys
import time

from Xlib import display as xdisplay

# A КВТ-64 as the simulator models it: its tables hold K0 and Ku in converter units.
KVT64 = {
    "protocol": "6x", "model": "kvt64", "texts": {"id": "KVT-64", "version": "V3.011"},
    "gmax": [2.5, 16.0], "live": {"G": [0.25, 0.5]},
    "tables": {"1": {"K": [13107.0, 26214.0, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.04, 0.1, 0.5],
                     "Obr": [13107.0, 26214.0, 0.0011, 0.0026, 0.0051, 0.0102, 0.0201, 0.0404, 0.1003, 0.499]}},
}


def fail(text):
    print("FAIL:", text, flush=True)
    sys.exit(1)


def wait(predicate, seconds, what):
    """The first true value of predicate within seconds; else the test fails."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def _free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    fail("no free X display number")


def _try_open(name):
    try:
        return xdisplay.Display(name)
    except Exception:
        return None


class XServer:
    """A private Xvfb of 800 x 700, the environment for a program shown on it,
    and a connection to it (d). Stop it with stop()."""

    def __init__(self):
        n = _free_display()
        self.proc = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "800x700x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 10, "the X server")
        self.env = dict(os.environ, DISPLAY=f":{n}")
        self.env.pop("QT_QPA_PLATFORM", None)
        # Under AddressSanitizer: Qt's X11 plugin hands strndup a buffer that is
        # not NUL-terminated, which the strict string checks report; they stay
        # on for everything of ours that runs in-process.
        if self.env.get("ASAN_OPTIONS"):
            self.env["ASAN_OPTIONS"] += ":strict_string_checks=0"
        self.d = wait(lambda: _try_open(f":{n}"), 10, "a connection to the X server")

    def stop(self):
        end(self.proc)


def end(proc, seconds=5):
    """Ends a child that is still running: politely, then for good."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def program_folder(folder, clbview, settings_text):
    """The program copied into folder/app with its settings file beside it, so
    that its folders and settings are its own. Returns (program, settings)."""
    app_dir = os.path.join(folder, "app")
    os.makedirs(app_dir)
    program = os.path.join(app_dir, "clbview")
    shutil.copy2(clbview, program)
    settings = os.path.join(app_dir, "clbview.ini")
    with open(settings, "wb") as f:
        f.write(settings_text)
    return program, settings


def write_clb(path, addresses):
    """A configuration file of КВТ-64 meters at these addresses, channel G1,
    serial text "-" (at most two; the rest of the slots empty)."""
    with open(path, "wb") as f:
        f.write(bytes([0xCA, 0, 0, 0xCF]))
        for i in range(2):
            record = bytearray(56)
            if i < len(addresses):
                record[0] = 1          # КВТ-64
                record[1] = addresses[i]
                record[10] = 1         # serial text "-"
                record[11] = ord("-")
                record[27] = 1         # channel G1
            f.write(record)
