#!/usr/bin/python3
"""The captions the window manager gets from the built program, read from the
X server: the main window's exactly "Просмотр коэф-тов калибровки 1.32", a
dialog's exactly its own ("Добавить прибор"), with nothing appended.

    window_caption.py CLBVIEW
"""
import os
import shutil
import subprocess
import sys
import tempfile

from Xlib import X

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from xsession import XServer, end, fail, program_folder, wait  # noqa: E402

CLBVIEW = sys.argv[1]
MAIN_CAPTION = "Просмотр коэф-тов калибровки 1.32"
IMG1 = (161 + 3 + 25, 108 + 6 + 14)  # the picture of slot 1, in the window


def names(d, window):
    """_NET_WM_NAME (UTF-8) and WM_NAME of a window, as texts."""
    net = window.get_full_property(d.intern_atom("_NET_WM_NAME"), d.intern_atom("UTF8_STRING"))
    wm = window.get_full_property(d.intern_atom("WM_NAME"), X.AnyPropertyType)

    def text(p):
        if p is None:
            return None
        v = p.value if isinstance(p.value, bytes) else bytes(p.value)
        if p.property_type == d.intern_atom("COMPOUND_TEXT"):
            return compound_text(v)
        return v.decode("utf-8" if p.property_type == d.intern_atom("UTF8_STRING") else "latin-1", "replace")
    return text(net), text(wm)


def compound_text(v):
    """The text of an X compound text: ASCII, and the right half in the
    character set its last ESC - F designation named (L: Cyrillic, A: Latin-1)."""
    charsets = {ord("L"): "iso8859-5", ord("A"): "latin-1"}
    right, out, i = "latin-1", "", 0
    while i < len(v):
        if v[i] == 0x1B and i + 2 < len(v) and v[i + 1] == ord("-"):
            right = charsets.get(v[i + 2], "latin-1")
            i += 3
            continue
        out += chr(v[i]) if v[i] < 0x80 else bytes([v[i]]).decode(right, "replace")
        i += 1
    return out


def top_windows(d):
    """The mapped windows that carry a name, as (window, _NET_WM_NAME)."""
    out = []
    for w in d.screen().root.query_tree().children:
        try:
            if w.get_attributes().map_state != X.IsViewable:
                continue
            net, _ = names(d, w)
            if net:
                out.append((w, net))
        except Exception:
            pass
    return out


def main():
    work = tempfile.mkdtemp(prefix="clbview-caption-")
    x = XServer()
    procs = [x.proc]
    try:
        env, d = x.env, x.d
        program, _ = program_folder(work, CLBVIEW,
                                    b"[Settings]\r\nPort=1\r\nBaud=0\r\n[Ports]\r\nCOM1=/nonexistent/tty\r\n")
        app = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(app)

        main_window = wait(lambda: next((w for w, name in top_windows(d) if w.get_geometry().width == 305), None),
                           15, "the main window")
        net, wm = names(d, main_window)
        if net != MAIN_CAPTION or wm != MAIN_CAPTION:
            fail(f"main window: _NET_WM_NAME {net!r}, WM_NAME {wm!r}; expected {MAIN_CAPTION!r}")

        # The picture of the empty slot opens the add-device dialog.
        subprocess.run(["xdotool", "mousemove", "--window", str(main_window.id), str(IMG1[0]), str(IMG1[1]),
                        "click", "1"], env=env, check=True)
        dialog = wait(lambda: next((w for w, name in top_windows(d) if w.id != main_window.id), None),
                      10, "the add-device dialog")
        net, wm = names(d, dialog)
        if net != "Добавить прибор" or wm != "Добавить прибор":
            fail(f"dialog: _NET_WM_NAME {net!r}, WM_NAME {wm!r}; expected 'Добавить прибор'")
        print("ok: captions", MAIN_CAPTION, "/ Добавить прибор")
    finally:
        for p in reversed(procs):
            end(p)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
