#!/usr/bin/python3
"""Closing the window program at awkward moments, as a user and a window
manager do it: clbview in its own process on a private X server, the
simulator on a pseudo-terminal, real X input (xdotool).

    closing_as_user.py CLBVIEW METERSIM

1. Connected, polling a meter that has fallen silent: the window is closed as
   a window manager closes it (WM_DELETE_WINDOW) and "Отключить" is clicked
   150 ms later. The program ends by itself, with status 0 and its settings
   file intact.
2. On a slow line, the window is closed in the first milliseconds after a
   click on "Подключить". The program ends without waiting for the read-out.
3. The orderly end is held up (an operation waits for a poll of a silent meter
   to give the port back): a first SIGTERM waits with it, a second one ends
   the program at once, and the settings file is intact.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from Xlib import X, display as xdisplay, protocol
from Xlib.ext import xtest

CLBVIEW, METERSIM = sys.argv[1], sys.argv[2]

# Where the controls sit in the window's client area (the window's own layout).
CONNECT = (1 + 209 + 39, 41 + 10)
DISCONNECT = (1 + 209 + 39, 12 + 10)
BSAVE01 = (1 + 190 + 11, 92 + 380 + 11)
EZERO01 = (161, 230)  # top-left of the box
EG01 = (161, 206)
RED = (0xFF, 0x00, 0x00)
LIGHT_GREEN = (0xC0, 0xDC, 0xC0)

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
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    fail("no free X display number")


def _try_open(name):
    try:
        return xdisplay.Display(name)
    except Exception:
        return None


class Session:
    """One run of the program: a simulated line, the program in a folder of its
    own with COM1 on that line, and its window."""

    def __init__(self, work, env, d, name, meters, timeouts):
        self.env, self.d = env, d
        self.procs = []
        folder = os.path.join(work, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "line.json"), "w") as f:
            json.dump({"meters": meters}, f)
        link = os.path.join(folder, "tty")
        self.log = os.path.join(folder, "frames.log")
        self.sim = subprocess.Popen([METERSIM, "--scenario", os.path.join(folder, "line.json"), "--link", link,
                                     "--log", self.log],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.procs.append(self.sim)
        if "READY" not in self.sim.stdout.readline():
            fail("the simulator did not start")
        self.app_dir = os.path.join(folder, "app")
        os.makedirs(self.app_dir)
        program = os.path.join(self.app_dir, "clbview")
        shutil.copy2(CLBVIEW, program)
        self.settings = os.path.join(self.app_dir, "clbview.ini")
        nb, np_, nr = timeouts
        self.settings_text = (f"[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB={nb}\r\nNP={np_}\r\nNR={nr}\r\n"
                              f"[Ports]\r\nCOM1={link}\r\n").encode()
        with open(self.settings, "wb") as f:
            f.write(self.settings_text)
        clb = os.path.join(folder, "slots.clb")
        with open(clb, "wb") as f:
            f.write(bytes([0xCA, 0, 0, 0xCF]))
            for i in range(2):
                record = bytearray(56)
                if i < len(meters):
                    record[0] = 1          # КВТ-64
                    record[1] = meters[i]["address"]
                    record[10] = 1         # serial text "-"
                    record[11] = ord("-")
                    record[27] = 1         # channel G1
                f.write(record)
        self.app = subprocess.Popen([program, clb], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.procs.append(self.app)

        def find_window():
            out = subprocess.run(["xdotool", "search", "--pid", str(self.app.pid), "--name", "Просмотр коэф"],
                                 env=env, capture_output=True, text=True).stdout.split()
            return int(out[0]) if out else None
        self.wid = wait(find_window, 15, "the main window")
        self.win = d.create_resource_object("window", self.wid)
        wait(lambda: self.win.get_attributes().map_state == X.IsViewable, 10, "the window to be shown")
        # The window's place on the screen (it stays where it was put).
        root_in_window = self.win.translate_coords(d.screen().root, 0, 0)
        self.origin = (-root_in_window.x, -root_in_window.y)

    def pixel(self, at, dx=3, dy=3):
        img = self.win.get_image(at[0] + dx, at[1] + dy, 1, 1, X.ZPixmap, 0xFFFFFFFF)
        b, g, r = img.data[0], img.data[1], img.data[2]
        return (r, g, b)

    def ink(self, at, w=56, h=19):
        """How many dark (text) pixels a box shows."""
        img = self.win.get_image(at[0] + 2, at[1] + 2, w - 4, h - 4, X.ZPixmap, 0xFFFFFFFF)
        data = img.data
        return sum(1 for i in range(0, len(data), 4) if max(data[i], data[i + 1], data[i + 2]) < 100)

    def click(self, at):
        # At the place on the screen, as a hand does: the click lands also
        # when the window is going away meanwhile.
        subprocess.run(["xdotool", "mousemove", str(at[0] + self.origin[0]), str(at[1] + self.origin[1]),
                        "click", "1"],
                       env=self.env, check=True)

    def close_as_window_manager(self, flush=True):
        wm_protocols = self.d.intern_atom("WM_PROTOCOLS")
        wm_delete = self.d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=self.win, client_type=wm_protocols,
                                             data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
        self.win.send_event(event)
        if flush:
            self.d.flush()

    def click_then_close(self, at):
        """A click and, right behind it, the window manager's close: both reach
        the program together, as when the close comes in the first
        milliseconds after the click."""
        x, y = at[0] + self.origin[0], at[1] + self.origin[1]
        xtest.fake_input(self.d, X.MotionNotify, x=x, y=y)
        self.d.sync()
        time.sleep(0.1)
        xtest.fake_input(self.d, X.ButtonPress, 1)
        xtest.fake_input(self.d, X.ButtonRelease, 1)
        self.close_as_window_manager(flush=False)
        self.d.flush()

    def connect(self):
        self.click(CONNECT)
        wait(lambda: self.ink(EZERO01) > 10, 20, "the read-out to show its values")
        wait(lambda: self.ink(EG01) > 10, 10, "the live box to show a flow")

    def requests(self):
        """How many requests reached the simulated line so far."""
        try:
            with open(self.log) as f:
                return sum(1 for line in f if " RX " in line)
        except OSError:
            return 0

    def meter_falls_silent(self):
        self.sim.send_signal(signal.SIGSTOP)

    def end_status(self, seconds, what):
        try:
            return self.app.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            fail(f"{what}: the program did not end within {seconds} s")

    def check_settings(self, what):
        with open(self.settings, "rb") as f:
            if f.read() != self.settings_text:
                fail(f"{what}: the settings file changed")
        leftovers = [n for n in os.listdir(self.app_dir) if ".tmp" in n]
        if leftovers:
            fail(f"{what}: temporary files left: {leftovers}")

    def stop(self):
        self.sim.send_signal(signal.SIGCONT)
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def click_during_close(work, env, d):
    what = "a click on Disconnect 150 ms after the close"
    # A long reply timeout: the poller stays inside its read of the silent
    # meter well past the click.
    s = Session(work, env, d, "click", [dict(KVT64, address=1, factory_number=12064001)], (50, 1500, 1))
    try:
        s.connect()
        s.meter_falls_silent()
        wait(lambda: s.pixel(EG01) == RED, 10, "the live box of the silent meter to turn red")
        time.sleep(0.4)  # the next poll has begun and waits for its reply
        start = time.monotonic()
        s.close_as_window_manager()
        time.sleep(0.15)
        s.click(DISCONNECT)
        status = s.end_status(10, what)
        took = time.monotonic() - start
        if status != 0:
            fail(f"{what}: exit status {status}: {s.app.stdout.read().decode(errors='replace')}")
        s.check_settings(what)
        print(f"PASS: {what}: ended by itself in {took:.2f} s", flush=True)
    finally:
        s.stop()


def close_right_after_connect(work, env, d):
    what = "a close right after Connect on a slow line"
    slow = {"delay_ms": 200}
    meters = [dict(KVT64, address=1, factory_number=12064001, faults=slow),
              dict(KVT64, address=2, factory_number=12064002, faults=slow)]
    s = Session(work, env, d, "connect", meters, (50, 600, 1))
    try:
        wait(lambda: s.pixel(EZERO01) == LIGHT_GREEN, 10, "the configured slot's boxes")
        start = time.monotonic()
        s.click_then_close(CONNECT)
        # The read-out takes more than 10 s on this line; the close may take
        # 1.5 s, and gets a generous margin over that.
        status = s.end_status(4, what)
        took = time.monotonic() - start
        if status != 0:
            fail(f"{what}: exit status {status}")
        s.check_settings(what)
        # Zero requests: the close came before the port was opened, which it
        # then never was.
        print(f"PASS: {what}: ended in {took:.2f} s after {s.requests()} requests", flush=True)
    finally:
        s.stop()


def second_signal_while_held_up(work, env, d):
    what = "a second SIGTERM while the orderly end waits"
    # A poll of a silent meter takes 15 s with these timeouts; saving the
    # slot's coefficients waits for the poller to give the port back.
    s = Session(work, env, d, "signal", [dict(KVT64, address=1, factory_number=12064001)], (50, 5000, 2))
    try:
        s.connect()
        s.meter_falls_silent()
        time.sleep(0.3)  # the next poll has begun
        s.click(BSAVE01)
        time.sleep(0.3)
        s.close_as_window_manager()
        time.sleep(1.0)
        if s.app.poll() is not None:
            fail(f"{what}: the orderly end was not held up (status {s.app.returncode}); the case proves nothing")
        s.app.send_signal(signal.SIGTERM)
        time.sleep(0.5)
        if s.app.poll() is not None:
            fail(f"{what}: the first SIGTERM ended the program at once (status {s.app.returncode})")
        start = time.monotonic()
        s.app.send_signal(signal.SIGTERM)
        status = s.end_status(3, what)
        took = time.monotonic() - start
        if status != -signal.SIGTERM and status != 128 + signal.SIGTERM:
            fail(f"{what}: exit status {status}")
        s.check_settings(what)
        print(f"PASS: {what}: ended in {took:.2f} s", flush=True)
    finally:
        s.stop()


def main():
    work = tempfile.mkdtemp(prefix="clbview-closing-")
    xvfb = None
    try:
        n = free_display()
        xvfb = subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "800x700x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 10, "the X server")
        env = dict(os.environ, DISPLAY=f":{n}")
        env.pop("QT_QPA_PLATFORM", None)
        # Under AddressSanitizer: Qt's X11 plugin hands strndup a buffer that is
        # not NUL-terminated, which the strict string checks report.
        if env.get("ASAN_OPTIONS"):
            env["ASAN_OPTIONS"] += ":strict_string_checks=0"
        d = wait(lambda: _try_open(f":{n}"), 10, "a connection to the X server")
        cases = {"click": click_during_close, "connect": close_right_after_connect,
                 "signal": second_signal_while_held_up}
        chosen = sys.argv[3:] or list(cases)
        for name in chosen:
            cases[name](work, env, d)
    finally:
        if xvfb and xvfb.poll() is None:
            xvfb.terminate()
            try:
                xvfb.wait(timeout=5)
            except subprocess.TimeoutExpired:
                xvfb.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
