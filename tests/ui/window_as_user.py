#!/usr/bin/python3
"""The window program as a user meets it: clbview in its own process on a
private X server, a simulated line with two meters, real X input (xdotool),
and what the window shows read back from the screen's pixels.

    window_as_user.py CLBVIEW METERSIM

Connects, waits for the coefficient boxes to turn light green and the live box
to show the tooltip colour, lets the first meter fall silent and waits for its
live box to turn red, then closes the window as a window manager would
(WM_DELETE_WINDOW) and checks that the program ends on its own, promptly, with
status 0 and its settings file intact.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import X, protocol

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from xsession import KVT64, XServer, end, fail, program_folder, wait, write_clb  # noqa: E402

CLBVIEW, METERSIM = sys.argv[1], sys.argv[2]

# Where the controls sit in the window's client area (the window's own layout).
CONNECT = (210 + 39, 41 + 10)
EZERO01 = (161, 230)  # top-left of the box
EG028 = (236, 446)
EG01 = (161, 206)
LIGHT_GREEN = (0xC0, 0xDC, 0xC0)
RED = (0xFF, 0x00, 0x00)


def main():
    work = tempfile.mkdtemp(prefix="clbview-user-")
    x = XServer()
    procs = [x.proc]
    try:
        env, d = x.env, x.d

        # Two meters; the first falls silent after its read-out and some polling.
        scenario = {"meters": [dict(KVT64, address=1, factory_number=12064001,
                                    faults={"silent": {"from": 23 + 12}}),
                               dict(KVT64, address=2, factory_number=12064002)]}
        with open(os.path.join(work, "line.json"), "w") as f:
            json.dump(scenario, f)
        link = os.path.join(work, "tty")
        sim = subprocess.Popen([METERSIM, "--scenario", os.path.join(work, "line.json"), "--link", link],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        if "READY" not in sim.stdout.readline():
            fail("the simulator did not start")

        # The program in a folder of its own, with COM1 on the simulated line
        # and a configuration of the two meters given on the command line.
        program, settings = program_folder(
            work, CLBVIEW, f"[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB=50\r\nNP=200\r\nNR=2\r\n"
                           f"[Ports]\r\nCOM1={link}\r\n".encode())
        clb = os.path.join(work, "two.clb")
        write_clb(clb, (1, 2))
        app = subprocess.Popen([program, clb], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        procs.append(app)

        def find_window():
            out = subprocess.run(["xdotool", "search", "--name", "Просмотр коэф-тов калибровки 1.32"],
                                 env=env, capture_output=True, text=True).stdout.split()
            return int(out[0]) if out else None
        wid = wait(find_window, 15, "the main window")
        win = d.create_resource_object("window", wid)
        wait(lambda: win.get_attributes().map_state == X.IsViewable, 10, "the window to be shown")
        geo = win.get_geometry()
        if (geo.width, geo.height) != (305, 542):
            fail(f"client area {geo.width} x {geo.height}, not 305 x 542")

        def pixel(at, dx=3, dy=3):
            img = win.get_image(at[0] + dx, at[1] + dy, 1, 1, X.ZPixmap, 0xFFFFFFFF)
            b, g, r = img.data[0], img.data[1], img.data[2]
            return (r, g, b)

        def ink(at, w=56, h=19):
            """How many dark (text) pixels a box shows."""
            img = win.get_image(at[0] + 2, at[1] + 2, w - 4, h - 4, X.ZPixmap, 0xFFFFFFFF)
            data = img.data
            return sum(1 for i in range(0, len(data), 4) if max(data[i], data[i + 1], data[i + 2]) < 100)

        # Configured but not yet read: light green and empty.
        wait(lambda: pixel(EZERO01) == LIGHT_GREEN, 10, "the configured slot's boxes")
        time.sleep(0.3)
        if ink(EZERO01) != 0:
            fail("the zero box shows a value before any read-out")

        # Connect, by a real click on the button.
        subprocess.run(["xdotool", "mousemove", "--window", str(wid), str(CONNECT[0]), str(CONNECT[1]),
                        "click", "1"], env=env, check=True)
        wait(lambda: ink(EZERO01) > 10 and ink(EG028) > 10, 20, "the coefficient boxes to show their values")
        if pixel(EZERO01) != LIGHT_GREEN or pixel(EG028) != LIGHT_GREEN:
            fail("the coefficient boxes are not light green after the read-out")
        wait(lambda: pixel(EG01) not in (RED, (0x80, 0x80, 0x80)) and pixel(EG01)[2] < 0xF0, 10,
             "the live box on the tooltip colour")
        # The first meter falls silent: its live box turns red while polling goes on.
        wait(lambda: pixel(EG01) == RED, 20, "the live box of the silent meter to turn red")
        save_screenshot(win, os.environ.get("CLBVIEW_SCREENSHOT"))

        # Close as a window manager would; the program must end by itself.
        wm_protocols = d.intern_atom("WM_PROTOCOLS")
        wm_delete = d.intern_atom("WM_DELETE_WINDOW")
        event = protocol.event.ClientMessage(window=win, client_type=wm_protocols,
                                             data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
        start = time.monotonic()
        win.send_event(event)
        d.flush()
        try:
            status = app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            fail("the program did not end after its window was closed")
        took = time.monotonic() - start
        if status != 0:
            fail(f"exit status {status}: {app.stdout.read().decode(errors='replace')}")
        with open(settings, "rb") as f:
            if b"[Ports]" not in f.read():
                fail("the settings file lost its contents")
        print(f"PASS: connected, boxes filled and light green, live box red on a silent meter, closed in {took:.2f} s")
    finally:
        for p in reversed(procs):
            end(p)
        shutil.rmtree(work, ignore_errors=True)


def save_screenshot(win, path):
    if not path:
        return
    geo = win.get_geometry()
    img = win.get_image(0, 0, geo.width, geo.height, X.ZPixmap, 0xFFFFFFFF)
    # A plain PPM, turned into PNG by whoever wants it.
    with open(path, "wb") as f:
        f.write(f"P6 {geo.width} {geo.height} 255\n".encode())
        data = img.data
        for i in range(0, len(data), 4):
            f.write(bytes((data[i + 2], data[i + 1], data[i])))


if __name__ == "__main__":
    main()
