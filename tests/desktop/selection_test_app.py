#!/usr/bin/python3
"""A small GTK3 application for the end-to-end tests: a single-line entry, a multi-line view, a
password entry, a second entry, and two controls that take text only as key presses (their
accessible objects have Text but no EditableText, as Chromium's do), driven by commands on
standard input, one JSON object a line.

Every command is answered with one JSON line on standard output once GTK has done it:
  {"cmd":"show","kind":"single"|"multi"|"password"|"other"|"typed"|"typedmulti","value":"…",
   "start":N,"end":N}
      puts the text in that control, focuses it, selects code points start..end, presents the
      window; answered {"ok":true,"pid":PID,"name":NAME} once the control has the focus.
  {"cmd":"present"}      brings the window to the front again.
  {"cmd":"where","kind":…}  {"x":X,"y":Y}: the middle of that control on the screen, to click.
  {"cmd":"texts"}        {"single":"…","multi":"…","password":"…","other":"…","typed":"…",
                          "typedmulti":"…","activated":N}  (N: Return presses in "typed")
On start it prints READY once its window is focused. Options: --app-name NAME, --widgets N (adds N
extra buttons and labels, for a large accessibility tree), --churn (a label that changes every 5 ms).
"""
import argparse
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
gi.require_version("Atk", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Atk, Gdk, GdkX11, GLib, Gtk, PangoCairo  # noqa: E402


class KeysOnlyAccessible(Gtk.Accessible, Atk.Text):
    """Text, caret and selection of a KeysOnly control; no EditableText."""

    def __init__(self, owner):
        super().__init__()
        self.owner = owner

    def do_get_text(self, start, end):
        text = self.owner.text
        return text[start:len(text) if end < 0 else end]

    def do_get_character_count(self):
        return len(self.owner.text)

    def do_get_caret_offset(self):
        return self.owner.caret

    def do_get_n_selections(self):
        return 1 if self.owner.anchor != self.owner.caret else 0

    def do_get_selection(self, n):
        a, b = sorted((self.owner.anchor, self.owner.caret))
        return self.owner.text[a:b], a, b

    def do_get_role(self):
        return Atk.Role.ENTRY if not self.owner.multi_line else Atk.Role.TEXT

    def do_ref_state_set(self):
        states = Atk.StateSet()
        for state in (Atk.StateType.ENABLED, Atk.StateType.SENSITIVE, Atk.StateType.VISIBLE,
                      Atk.StateType.SHOWING, Atk.StateType.FOCUSABLE, Atk.StateType.EDITABLE,
                      Atk.StateType.MULTI_LINE if self.owner.multi_line
                      else Atk.StateType.SINGLE_LINE):
            states.add_state(state)
        if self.owner.has_focus():
            states.add_state(Atk.StateType.FOCUSED)
        return states


class KeysOnly(Gtk.DrawingArea):
    """A text control that takes text only as key presses, through an input method."""

    def __init__(self, multi_line):
        super().__init__()
        self.multi_line = multi_line
        self.text, self.caret, self.anchor, self.activated = "", 0, 0, 0
        self.set_can_focus(True)
        self.set_size_request(600, 60 if multi_line else 24)
        self.add_events(Gdk.EventMask.KEY_PRESS_MASK | Gdk.EventMask.BUTTON_PRESS_MASK)
        self.im = Gtk.IMContextSimple()
        self.im.connect("commit", lambda _im, s: self.replace(s))
        self.accessible = None

    def do_get_accessible(self):
        if self.accessible is None:
            self.accessible = KeysOnlyAccessible(self)
            self.accessible.set_widget(self)
        return self.accessible

    def set_value(self, value, start, end):
        self.text, self.anchor, self.caret = value, start, end
        self.queue_draw()

    def replace(self, s):
        a, b = sorted((self.anchor, self.caret))
        self.text = self.text[:a] + s + self.text[b:]
        self.caret = self.anchor = a + len(s)
        self.queue_draw()

    def do_key_press_event(self, event):
        if event.keyval in (Gdk.KEY_Return, Gdk.KEY_KP_Enter):
            if self.multi_line:
                self.replace("\n")
            else:
                self.activated += 1
            return True
        if event.keyval == Gdk.KEY_BackSpace:
            if self.anchor == self.caret and self.caret > 0:
                self.anchor = self.caret - 1
            self.replace("")
            return True
        if event.keyval in (Gdk.KEY_Tab, Gdk.KEY_ISO_Left_Tab):
            return False  # moves the focus, as in any form
        if event.state & (Gdk.ModifierType.CONTROL_MASK | Gdk.ModifierType.MOD1_MASK):
            if event.keyval in (Gdk.KEY_a, Gdk.KEY_A):
                self.anchor, self.caret = 0, len(self.text)
            elif event.keyval in (Gdk.KEY_x, Gdk.KEY_X):
                self.replace("")
            return True
        return self.im.filter_keypress(event)

    def do_draw(self, cr):
        layout = self.create_pango_layout(self.text)
        cr.move_to(2, 2)
        PangoCairo.show_layout(cr, layout)
        return False


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
    typed = KeysOnly(multi_line=False)
    typed_multi = KeysOnly(multi_line=True)
    for widget in (single, multi_scroller, password, other, typed, typed_multi):
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
    controls = {"single": single, "multi": multi, "password": password, "other": other,
                "typed": typed, "typedmulti": typed_multi}

    def reply(obj):
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

    def text_of(widget):
        if isinstance(widget, Gtk.TextView):
            b = widget.get_buffer()
            return b.get_text(b.get_start_iter(), b.get_end_iter(), True)
        if isinstance(widget, KeysOnly):
            return widget.text
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
        elif isinstance(widget, KeysOnly):
            widget.set_value(value, start, end)
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
        elif cmd["cmd"] == "where":
            widget = controls[cmd["kind"]]
            x, y = widget.translate_coordinates(window, 0, 0)
            _, ox, oy = window.get_window().get_origin()
            allocation = widget.get_allocation()
            reply({"x": ox + x + allocation.width // 2, "y": oy + y + allocation.height // 2})
        elif cmd["cmd"] == "texts":
            texts = {k: text_of(w) for k, w in controls.items()}
            texts["activated"] = typed.activated
            reply(texts)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
    window.show_all()
    single.grab_focus()
    when_focused(single, lambda: print("READY", flush=True))
    Gtk.main()


if __name__ == "__main__":
    main()
