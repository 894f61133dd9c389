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

from Xlib import X, protocol
from Xlib.ext import xtest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from xsession import KVT64, XServer, end, fail, program_folder, wait, write_clb  # noqa: E402

CLBVIEW, METERSIM = sys.argv[1], sys.argv[2]

# Where the controls sit in the window's client area (the window's own layout).
CONNECT = (1 + 209 + 39, 41 + 10)
DISCONNECT = (1 + 209 + 39, 12 + 10)
BSAVE01 = (1 + 190 + 11, 92 + 380 + 11)
EZERO01 = (161, 230)  # top-left of the box
EG01 = (161, 206)
RED = (0xFF, 0x00, 0x00)
LIGHT_GREEN = (0xC0, 0xDC, 0xC0)

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
        nb, np_, nr = timeouts
        self.settings_text = (f"[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB={nb}\r\nNP={np_}\r\nNR={nr}\r\n"
                              f"[Ports]\r\nCOM1={link}\r\n").encode()
        program, self.settings = program_folder(folder, CLBVIEW, self.settings_text)
        self.app_dir = os.path.dirname(program)
        clb = os.path.join(folder, "slots.clb")
        write_clb(clb, [m["address"] for m in meters])
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
            end(p)


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
    x = XServer()
    try:
        env, d = x.env, x.d
        cases = {"click": click_during_close, "connect": close_right_after_connect,
                 "signal": second_signal_while_held_up}
        chosen = sys.argv[3:] or list(cases)
        for name in chosen:
            cases[name](work, env, d)
    finally:
        x.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
