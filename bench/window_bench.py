#!/usr/bin/python3
"""The window program's costs, measured from outside on a private X server:

  - start to shown: from starting the process until its main window is mapped,
  - resident memory once connected to two simulated meters,
  - CPU per second of wall time while idle (disconnected) and while polling.

    window_bench.py CLBVIEW METERSIM SCENARIO [SECONDS]

Each figure is printed with its bound; the exit status is 1 when one is over.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from Xlib import X, display as xdisplay

CLBVIEW, METERSIM, SCENARIO = sys.argv[1:4]
SECONDS = float(sys.argv[4]) if len(sys.argv) > 4 else 10.0
TICKS = os.sysconf("SC_CLK_TCK")
BOUNDS = {"shown_s": 0.5, "rss_mb": 80.0, "cpu_idle_pct": 0.5, "cpu_polling_pct": 2.0}


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def cpu_percent(pid, seconds):
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - c0) / (time.monotonic() - t0)


def main():
    work = tempfile.mkdtemp(prefix="clbview-bench-")
    procs = []
    try:
        n = next(i for i in range(90, 200) if not os.path.exists(f"/tmp/.X11-unix/X{i}"))
        procs.append(subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "800x700x24", "-nolisten", "tcp"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        while not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            time.sleep(0.05)
        time.sleep(0.2)
        d = xdisplay.Display(f":{n}")
        env = dict(os.environ, DISPLAY=f":{n}")
        env.pop("QT_QPA_PLATFORM", None)

        link = os.path.join(work, "tty")
        sim = subprocess.Popen([METERSIM, "--scenario", SCENARIO, "--link", link, "--pacing"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        sim.stdout.readline()

        app_dir = os.path.join(work, "app")
        os.makedirs(app_dir)
        program = os.path.join(app_dir, "clbview")
        shutil.copy2(CLBVIEW, program)
        with open(os.path.join(app_dir, "clbview.ini"), "wb") as f:
            f.write(f"[Settings]\r\nPort=1\r\nBaud=0\r\n[Ports]\r\nCOM1={link}\r\n".encode())
        clb = os.path.join(work, "two.clb")
        with open(clb, "wb") as f:
            f.write(bytes([0xCA, 0, 0, 0xCF]))
            for code, address, channel in ((1, 1, 1), (5, 2, 2)):
                r = bytearray(56)
                r[0], r[1], r[10], r[11], r[27] = code, address, 1, ord("-"), channel
                f.write(r)

        # Start to shown: the window's map on the X server.
        root = d.screen().root
        root.change_attributes(event_mask=X.SubstructureNotifyMask)
        d.sync()
        start = time.monotonic()
        app = subprocess.Popen([program, clb], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(app)
        shown = None
        while shown is None:
            e = d.next_event()
            if e.type == X.MapNotify:
                name = e.window.get_wm_name()
                if isinstance(name, bytes):
                    name = name.decode("utf-8", "replace")
                if e.window.get_geometry().width == 305:
                    shown = time.monotonic() - start
        wid = e.window.id
        time.sleep(1.0)
        idle = cpu_percent(app.pid, SECONDS)

        subprocess.run(["xdotool", "mousemove", "--window", str(wid), "249", "51", "click", "1"], env=env, check=True)
        time.sleep(3.0)  # the read-out
        polling = cpu_percent(app.pid, SECONDS)
        rss = rss_mb(app.pid)

        figures = {"shown_s": shown, "rss_mb": rss, "cpu_idle_pct": idle, "cpu_polling_pct": polling}
        over = False
        for key, value in figures.items():
            ok = value <= BOUNDS[key]
            over = over or not ok
            print(f"{key:16} {value:8.3f}   bound {BOUNDS[key]:g}   {'ok' if ok else 'OVER'}")
        sys.exit(1 if over else 0)
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
