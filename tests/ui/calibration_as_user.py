#!/usr/bin/python3
"""The calibration window as a user meets it: clbview on a private X server,
metersim's flow stand with a meter under test (a КВТ-64 at address 5) and a
reference (at 6), real X input (xdotool), read back from the screen's pixels.

    calibration_as_user.py CLBVIEW METERSIM

Connects by a click, opens the calibration window from the calibration
button's menu, types the reference and short gate settings, starts the run
from the keyboard, waits until the window paints the stability mark amber or
green while the run goes on, closes the calibration window as a window manager
would and checks that the run stopped (the main window's live box moves again:
the poller has the line back) and that the program ends with status 0 when its
main window is closed.

CLBVIEW_CALIBRATION_SCREENSHOT, when set, names a PPM file for the window mid-run.
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
from xsession import XServer, end, fail, program_folder, wait, write_clb  # noqa: E402

CLBVIEW, METERSIM = sys.argv[1], sys.argv[2]

CONNECT = (210 + 39, 41 + 10)
EZERO01 = (161, 230)
EG01 = (161, 206)
CALIBRATE = (1 + 86 + 11, 92 + 24 + 11)  # the button in the device group's top row
AMBER = (0xFF, 0xB3, 0x00)
GREEN = (0x2E, 0x9E, 0x3E)

GMAX = 10.0
POINTS = [0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 0.85, 1.0]


def scenario():
    table = [0.0, 1.0] + POINTS
    meter = {"address": 5, "protocol": "6x", "model": "kvt64", "gmax": [GMAX, GMAX],
             "tables": {"1": {"K": table, "Obr": table}},
             "stand": {"error": [[0.05, 4.0], [0.5, 2.5], [1.0, -1.5]], "noise_pct": 0.05}}
    reference = {"address": 6, "protocol": "6x", "model": "kvt64", "gmax": [GMAX, GMAX],
                 "stand": {"reference": True, "error_pct": 0.0, "noise_pct": 0.02}}
    schedule = [{"flow": p * GMAX, "hold_s": 2.0, "noise_pct": 0.1} for p in POINTS]
    return {"line": {"seed": 7, "stand": {"schedule": schedule, "cycle": True, "ramp_s": 0.3}},
            "meters": [meter, reference]}


def image(win):
    geo = win.get_geometry()
    img = win.get_image(0, 0, geo.width, geo.height, X.ZPixmap, 0xFFFFFFFF)
    return geo.width, geo.height, img.data


def colours(win):
    _, _, data = image(win)
    return {(data[i + 2], data[i + 1], data[i]) for i in range(0, len(data), 4)}


def save_ppm(win, path):
    if not path:
        return
    w, h, data = image(win)
    with open(path, "wb") as f:
        f.write(f"P6 {w} {h} 255\n".encode())
        f.write(bytes(b for i in range(0, len(data), 4) for b in (data[i + 2], data[i + 1], data[i])))


def main():
    work = tempfile.mkdtemp(prefix="clbview-calib-")
    x = XServer()
    procs = [x.proc]
    try:
        env, d = x.env, x.d
        with open(os.path.join(work, "line.json"), "w") as f:
            json.dump(scenario(), f)
        link = os.path.join(work, "tty")
        sim = subprocess.Popen([METERSIM, "--scenario", os.path.join(work, "line.json"), "--link", link],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        if "READY" not in sim.stdout.readline():
            fail("the simulator did not start")
        program, _ = program_folder(
            work, CLBVIEW, f"[Settings]\r\nPort=1\r\nBaud=0\r\n[Device1]\r\nNB=50\r\nNP=150\r\nNR=2\r\n"
                           f"[Ports]\r\nCOM1={link}\r\n".encode())
        clb = os.path.join(work, "one.clb")
        write_clb(clb, (5,))
        app = subprocess.Popen([program, clb], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        procs.append(app)

        net_wm_name = d.intern_atom("_NET_WM_NAME")
        utf8 = d.intern_atom("UTF8_STRING")

        def find(prefix):
            """The shown top-level window whose title starts with prefix."""
            def walk(w):
                try:
                    prop = w.get_full_property(net_wm_name, utf8)
                    title = prop.value.decode("utf-8", "replace") if prop else ""
                    if title.startswith(prefix) and w.get_attributes().map_state == X.IsViewable:
                        return w.id
                    for child in w.query_tree().children:
                        found = walk(child)
                        if found:
                            return found
                except Exception:
                    return None
                return None
            return walk(d.screen().root)

        def xdo(*args):
            subprocess.run(["xdotool", *map(str, args)], env=env, check=True)

        wid = wait(lambda: find("Просмотр коэф"), 15, "the main window")
        win = d.create_resource_object("window", wid)
        wait(lambda: win.get_attributes().map_state == X.IsViewable, 10, "the main window to be shown")

        def ink(at, w=56, h=19):
            img = win.get_image(at[0] + 2, at[1] + 2, w - 4, h - 4, X.ZPixmap, 0xFFFFFFFF)
            data = img.data
            return sum(1 for i in range(0, len(data), 4) if max(data[i], data[i + 1], data[i + 2]) < 100)

        xdo("mousemove", "--window", wid, *CONNECT, "click", "1")
        wait(lambda: ink(EZERO01) > 10, 20, "the coefficient boxes after Connect")
        time.sleep(0.5)

        # The calibration button's menu: its first entry is slot 1.
        xdo("mousemove", "--window", wid, *CALIBRATE, "click", "1")
        time.sleep(0.5)
        xdo("key", "Down", "Return")
        cwid = wait(lambda: find("Калибровка прибора 1"), 10, "the calibration window")
        cwin = d.create_resource_object("window", cwid)
        wait(lambda: cwin.get_attributes().map_state == X.IsViewable, 10, "the calibration window to be shown")
        time.sleep(0.5)
        xdo("windowfocus", cwid)

        # The reference box has the focus; then its port, class, qp, tolerance, settle, window, CV, timeout.
        xdo("type", "--delay", "30", "1:6:1")
        for value in (None, None, None, None, "0.2", "1", "2", None):
            xdo("key", "Tab")
            if value is not None:
                xdo("key", "ctrl+a")
                xdo("type", "--delay", "30", value)
        # Past the points table to the start button.
        xdo("key", "Tab", "Tab", "space")

        # The run paints its mark: amber while settling, green when stable.
        wait(lambda: {AMBER, GREEN} & colours(cwin), 30, "the stability mark to turn amber or green")
        time.sleep(3)
        save_ppm(cwin, os.environ.get("CLBVIEW_CALIBRATION_SCREENSHOT"))

        # Closing the calibration window stops the run: the main window's
        # Disconnect works again right after.
        cwin.send_event(protocol.event.ClientMessage(
            window=cwin, client_type=d.intern_atom("WM_PROTOCOLS"),
            data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        d.flush()
        wait(lambda: find("Калибровка прибора 1") is None, 10, "the calibration window to go")

        def live_box():
            return bytes(win.get_image(EG01[0] + 2, EG01[1] + 2, 52, 15, X.ZPixmap, 0xFFFFFFFF).data)
        first = live_box()
        wait(lambda: live_box() != first, 15, "the live box to move again once the run stopped")

        win.send_event(protocol.event.ClientMessage(
            window=win, client_type=d.intern_atom("WM_PROTOCOLS"),
            data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        d.flush()
        start = time.monotonic()
        try:
            status = app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            fail("the program did not end after its window was closed")
        if status != 0:
            fail(f"exit status {status}: {app.stdout.read().decode(errors='replace')}")
        print(f"PASS: calibration window opened from the menu, run started by keyboard, mark painted, "
              f"closed mid-run; program ended in {time.monotonic() - start:.2f} s")
    finally:
        for p in reversed(procs):
            end(p)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
