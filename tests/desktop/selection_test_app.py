#!/usr/bin/python3
"""A small GTK3 application for the end-to-end tests: a single-line entry, a multi-line view, a
password entry and a second entry, driven by commands on standard input, one JSON object a line.

Every command is answered with one JSON line on standard output once GTK has done it:
  {"cmd":"show","kind":"single"|"multi"|"password"|"other","value":"…","start":N,"end":N}
      puts the text in that control, focuses it, selects code points start..end, presents the
      window; answered {"ok":true,"pid":PID,"name":NAME} once the control has the focus.
  {"cmd":"present"}      brings the window to the front again.
  {"cmd":"texts"}        {"single":"…","multi":"…","password":"…","other":"…"}
On start it prints READY once its window is focused. Options: --app-name NAME, --widgets N (adds N
extra buttons and labels, for a large accessibility tree), --churn (a label that changes every 5 ms).
"""
import argparse
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import GdkX11, GLib, Gtk  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app-name", default="Selection Test")
    parser.add_argument("--widgets", type=int, default=0)
    parser.add_argument("--churn", action="store_true",
                        help="change a label every 5 ms, so the application emits events")
    args = parser.parse_args()
    GLib.set_prgname(args.app_name)  # the accessible application takes this as its name
    GLib.set_application_name(args.app_name)

    window = Gtk.Window(title=args.app_name)
    window.set_default_size(640, 480)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
    single = Gtk.Entry()
    multi = Gtk.TextView()
    # Wrapped and scrolled: an unwrapped long line would outgrow what X can allocate.
    multi.set_wrap_mode(Gtk.WrapMode.CHAR)
    multi_scroller = Gtk.ScrolledWindow()
    multi_scroller.set_size_request(600, 120)
    multi_scroller.add(multi)
    password = Gtk.Entry()
    password.set_visibility(False)
    other = Gtk.Entry()
    for widget in (single, multi_scroller, password, other):
        box.pack_start(widget, False, False, 0)
    if args.widgets:
        grid = Gtk.FlowBox()
        for i in range(args.widgets):
            grid.add(Gtk.Button(label="b%d" % i) if i % 2 else Gtk.Label(label="l%d" % i))
        scroller = Gtk.ScrolledWindow()
        scroller.set_size_request(600, 200)
        scroller.add(grid)
        box.pack_start(scroller, True, True, 0)
    if args.churn:
        ticker = Gtk.Label(label="0")
        box.pack_start(ticker, False, False, 0)
        counter = [0]

        def tick():
            counter[0] += 1
            ticker.set_text(str(counter[0]))
            return True
        GLib.timeout_add(5, tick)
    window.add(box)
    window.connect("destroy", Gtk.main_quit)
    controls = {"single": single, "multi": multi, "password": password, "other": other}

    def reply(obj):
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

    def text_of(widget):
        if isinstance(widget, Gtk.TextView):
            b = widget.get_buffer()
            return b.get_text(b.get_start_iter(), b.get_end_iter(), True)
        return widget.get_text()

    def when_focused(widget, answer):
        # Answer once GTK reports the window active and the control focused.
        def check():
            if window.is_active() and widget.has_focus():
                answer()
                return False
            # There is no window manager: once focus has fallen back to the root window, only
            # an explicit focus request with a server timestamp brings it back.
            window.present()
            gdk_window = window.get_window()
            if gdk_window is not None:
                gdk_window.focus(GdkX11.x11_get_server_time(gdk_window))
            return True
        GLib.timeout_add(10, check)

    def show(cmd):
        widget = controls[cmd["kind"]]
        value, start, end = cmd.get("value", ""), cmd.get("start", 0), cmd.get("end", 0)
        window.present()
        widget.grab_focus()
        if isinstance(widget, Gtk.TextView):
            b = widget.get_buffer()
            b.set_text(value)
            b.select_range(b.get_iter_at_offset(start), b.get_iter_at_offset(end))
        else:
            widget.set_text(value)
            widget.select_region(start, end)
        when_focused(widget, lambda: reply({"ok": True, "pid": os.getpid(), "name": args.app_name}))

    def on_command(source, condition):
        line = sys.stdin.readline()
        if not line:
            Gtk.main_quit()
            return False
        cmd = json.loads(line)
        if cmd["cmd"] == "show":
            show(cmd)
        elif cmd["cmd"] == "present":
            window.present()
            when_focused(window.get_focus() or single,
                         lambda: reply({"ok": True, "pid": os.getpid(), "name": args.app_name}))
        elif cmd["cmd"] == "texts":
            reply({k: text_of(w) for k, w in controls.items()})
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
    window.show_all()
    single.grab_focus()
    when_focused(single, lambda: print("READY", flush=True))
    Gtk.main()


if __name__ == "__main__":
    main()
