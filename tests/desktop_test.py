#!/usr/bin/env python3
"""End to end on a real desktop: selection-bridge against the GTK test application.

Usage: desktop_test.py PATH_TO_BINARY   (inside a desktop session, see tools/desktop_session.py)
"""
import ctypes
import json
import os
import select
import signal
import subprocess
import sys
import time
import unittest

BINARY = None
HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "desktop", "selection_test_app.py")


def read_line(stream, seconds=20):
    """One line from a child, or a failure after `seconds`: a test never hangs."""
    ready, _, _ = select.select([stream], [], [], seconds)
    if not ready:
        raise TimeoutError("no answer within %d s" % seconds)
    return stream.readline()


class App:
    def __init__(self, name):
        self.proc = subprocess.Popen(["/usr/bin/python3", APP, "--app-name", name],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     bufsize=1)
        assert read_line(self.proc.stdout).strip() == "READY"

    def command(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        return json.loads(read_line(self.proc.stdout))

    def show(self, kind, value, start, end):
        return self.command(cmd="show", kind=kind, value=value, start=start, end=end)

    def texts(self):
        return self.command(cmd="texts")

    def close(self):
        self.proc.stdin.close()
        self.proc.stdout.close()
        self.proc.wait(timeout=10)


class Bridge:
    def __init__(self):
        self.proc = subprocess.Popen([BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)

    def send(self, **request):
        self.proc.stdin.write(json.dumps(request, ensure_ascii=False).encode() + b"\n")
        self.proc.stdin.flush()
        return json.loads(read_line(self.proc.stdout))

    def close(self):
        self.proc.stdin.close()
        code = self.proc.wait(timeout=10)
        err = self.proc.stderr.read()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, err


class Keyboard:
    """The X keyboard as the user leaves it: layouts, locks, keys held, and the keymap's spare
    keycodes, read and set through the X server, not through the process under test."""

    def __init__(self):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XkbLockGroup.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint]
        self.x11.XkbGetState.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_char_p]
        self.x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.display = self.x11.XOpenDisplay(None)

    def locks(self):
        """(locked modifiers, locked group)"""
        state = ctypes.create_string_buffer(32)
        self.x11.XkbGetState(self.display, 0x100, state)
        # XkbStateRec: group, locked_group, base_group (2), latched_group (2), mods, base_mods,
        # latched_mods, locked_mods, ...
        return state.raw[9], state.raw[1]

    def lock_group(self, group):
        self.x11.XkbLockGroup(self.display, 0x100, group)
        self.x11.XSync(self.display, 0)

    @staticmethod
    def xdotool(*args):
        subprocess.run(["xdotool"] + list(args), check=True)

    @staticmethod
    def layout(layouts):
        subprocess.run(["setxkbmap", "-layout", layouts], check=True)

    @staticmethod
    def spare_keycodes():
        out = subprocess.run(["xmodmap", "-pke"], capture_output=True, text=True, check=True)
        return sum(1 for line in out.stdout.splitlines() if line.rstrip().endswith("="))


class OneBridge(unittest.TestCase):
    """A test application and one bridge for a whole class of tests; the bridge must end with
    status 0 and nothing on standard error."""

    APP_NAME = None

    @classmethod
    def setUpClass(cls):
        cls.app = App(cls.APP_NAME)
        cls.bridge = Bridge()

    @classmethod
    def tearDownClass(cls):
        code, err = cls.bridge.close()
        cls.app.close()
        assert (code, err) == (0, b""), (code, err)


class Desktop(OneBridge):
    APP_NAME = "Selection Test"

    def capture(self):
        response = self.bridge.send(id="c", op="capture")
        self.assertTrue(response["ok"], response)
        return response

    def test_permissions(self):
        self.assertEqual(self.bridge.send(id="p", op="permissions"),
                         {"accessibility": True, "id": "p", "ok": True})

    def test_capture_asks_for_access_by_switching_accessibility_on(self):
        def a11y(*args):
            return subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus",
                                   "--object-path", "/org/a11y/bus", "--method"] + list(args),
                                  capture_output=True, text=True, timeout=10, check=True).stdout
        a11y("org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled", "<false>")
        self.app.show("single", "abc", 0, 1)
        self.assertEqual(self.bridge.send(id="p", op="permissions"),
                         {"accessibility": False, "id": "p", "ok": True})
        self.assertIn("false", a11y("org.freedesktop.DBus.Properties.Get", "org.a11y.Status",
                                    "IsEnabled"), "permissions must not prompt")
        self.assertEqual(self.bridge.send(id="c", op="capture"),
                         {"error": "permission_required", "id": "c", "ok": False})
        self.assertIn("true", a11y("org.freedesktop.DBus.Properties.Get", "org.a11y.Status",
                                   "IsEnabled"))
        self.assertEqual(self.bridge.send(id="p", op="permissions"),
                         {"accessibility": True, "id": "p", "ok": True})
        self.assertEqual(self.capture()["target"]["selectedText"], "a")

    def test_capture_returns_the_exact_selection(self):
        cases = [
            ("ascii", "single", "Hello world", 6, 11, "world"),
            ("accents", "single", "Voilà déjà vu", 6, 10, "déjà"),
            ("cjk", "multi", "中文 テキスト 한국어", 3, 7, "テキスト"),
            ("emoji", "single", "a 😀👍🏽 b", 2, 5, "😀👍🏽"),
            ("combining", "multi", "e\u0301te\u0301", 0, 5, "e\u0301te\u0301"),
            ("caret only", "single", "abc", 1, 1, ""),
        ]
        for name, kind, value, start, end, selected in cases:
            with self.subTest(name):
                self.app.show(kind, value, start, end)
                target = self.capture()["target"]
                self.assertEqual(target["appName"], "Selection Test")
                self.assertEqual(target["selectedText"], selected)

    def test_insert_replaces_the_selection(self):
        cases = [
            ("ascii", "single", "Hello world", 6, 11, "there", "Hello there"),
            ("unicode", "single", "x-y", 1, 2, " Zürich 中 😀 e\u0301 ", "x Zürich 中 😀 e\u0301 y"),
            ("multi-line", "multi", "one\ntwo", 4, 7, "2\nthree", "one\n2\nthree"),
            ("caret at end", "single", "abc", 3, 3, "def", "abcdef"),
            ("whole value", "multi", "old", 0, 3, "new", "new"),
        ]
        for name, kind, value, start, end, text, expected in cases:
            with self.subTest(name):
                self.app.show(kind, value, start, end)
                token = self.capture()["target"]["token"]
                self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text=text),
                                 {"id": "i", "inserted": True, "ok": True})
                self.assertEqual(self.app.texts()[kind], expected)

    def test_password_field_is_refused(self):
        self.app.show("password", "secret", 0, 6)
        self.assertEqual(self.bridge.send(id="c", op="capture"),
                         {"error": "unsafe_input", "id": "c", "ok": False})

    def test_focus_moved_nothing_typed(self):
        self.app.show("single", "keep me", 0, 4)
        token = self.capture()["target"]["token"]
        self.app.show("other", "other", 0, 0)
        self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text="typed"),
                         {"error": "target_changed", "id": "i", "ok": False})
        time.sleep(0.2)
        texts = self.app.texts()
        self.assertEqual((texts["single"], texts["other"]), ("keep me", "other"))

    def test_another_application_in_front_nothing_typed(self):
        self.app.show("single", "keep me", 0, 4)
        token = self.capture()["target"]["token"]
        other = App("Elsewhere")
        try:
            other.show("single", "theirs", 0, 0)
            self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text="typed"),
                             {"error": "target_changed", "id": "i", "ok": False})
            time.sleep(0.2)
            self.assertEqual(other.texts()["single"], "theirs")
            self.assertEqual(self.app.texts()["single"], "keep me")
        finally:
            other.close()

    def test_a_hung_application_costs_one_slow_refusal(self):
        self.app.show("single", "abc", 0, 1)
        token = self.capture()["target"]["token"]
        os.kill(self.app.proc.pid, signal.SIGSTOP)
        try:
            started = time.monotonic()
            response = self.bridge.send(id="i", op="insert", token=token, text="x")
            slow = time.monotonic() - started
            self.assertFalse(response["ok"], response)
            self.assertLess(slow, 15)
            # Meanwhile requests that need no application are answered as ever.
            self.assertEqual(self.bridge.send(id="r", op="release"), {"id": "r", "ok": True})
        finally:
            os.kill(self.app.proc.pid, signal.SIGCONT)
        print("\nhung application: refused with %s after %.1f s" % (response["error"], slow),
              file=sys.stderr)
        self.app.show("single", "abc", 0, 1)
        self.capture()

    def test_a_30000_unit_text_arrives_through_the_control_at_once(self):
        text = ""
        for c in "Lorem ipsum dolor sit amet, çà et là, 中文 😀. " * 700:
            if len((text + c).encode("utf-16-le")) > 2 * 29997:
                break
            text += c
        text = text.ljust(29997 - (len(text.encode("utf-16-le")) // 2 - len(text)), ".") + "end"
        units = len(text.encode("utf-16-le")) // 2
        self.assertEqual(units, 30000)
        self.app.show("multi", "[]", 1, 1)
        token = self.capture()["target"]["token"]
        started = time.monotonic()
        response = self.bridge.send(id="i", op="insert", token=token, text=text)
        answered = time.monotonic() - started
        self.assertEqual(response, {"id": "i", "inserted": True, "ok": True})
        self.assertEqual(self.app.texts()["multi"], "[" + text + "]")
        print("\n%d-unit text inserted and confirmed in %.3f s" % (units, answered), file=sys.stderr)

    def test_control_characters_go_into_the_control_literally(self):
        # Written through the control, a tab is a tab and a backspace a character: no key is
        # pressed, so nothing moves the focus, submits a form or deletes the user's text.
        cases = [
            ("multi", "ab", 1, 1, "x\ty\nz\bw", "ax\ty\nz\bwb"),
            ("single", "ab", 1, 1, "x\ty\bz", "ax\ty\bzb"),
        ]
        for kind, value, start, end, text, expected in cases:
            with self.subTest(kind):
                self.app.show(kind, value, start, end)
                token = self.capture()["target"]["token"]
                self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text=text),
                                 {"id": "i", "inserted": True, "ok": True})
                texts = self.app.texts()
                self.assertEqual(texts[kind], expected)
                self.assertEqual(texts["password"], "")

    def test_a_selection_the_user_moved_is_not_replaced(self):
        self.app.show("single", "Hello brave new world", 6, 11)
        token = self.capture()["target"]["token"]
        self.app.show("single", "Hello brave new world", 16, 21)
        self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text="BRAVE"),
                         {"error": "target_changed", "id": "i", "ok": False})
        self.assertEqual(self.app.texts()["single"], "Hello brave new world")


class Typed(OneBridge):
    """Controls that take text only as key presses: the typed delivery, under a real user's
    keyboard."""

    APP_NAME = "Typed Test"

    @classmethod
    def setUpClass(cls):
        cls.keyboard = Keyboard()
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        Keyboard.layout("us")
        super().tearDownClass()

    def tearDown(self):
        Keyboard.layout("us")
        self.keyboard.lock_group(0)

    def insert(self, kind, value, start, end, text):
        self.app.show(kind, value, start, end)
        token = self.bridge.send(id="c", op="capture")["target"]["token"]
        return self.bridge.send(id="i", op="insert", token=token, text=text)

    def test_typed_text_is_exact_whatever_the_layout_and_locks(self):
        text = "Hello World: yz@<>\"'[]{}|\\ Grüße, déjà, ça, ñ, 中文, 😀, Ω!"
        situations = [
            ("us", lambda: None, lambda: None),
            ("caps lock", lambda: self.keyboard.xdotool("key", "Caps_Lock"),
             lambda: self.keyboard.xdotool("key", "Caps_Lock")),
            ("de", lambda: Keyboard.layout("de"), lambda: None),
            ("fr", lambda: Keyboard.layout("fr"), lambda: None),
            ("ru", lambda: Keyboard.layout("ru"), lambda: None),
            ("us,ru with group 2 locked",
             lambda: (Keyboard.layout("us,ru"), self.keyboard.lock_group(1)), lambda: None),
        ]
        for name, arrange, undo in situations:
            with self.subTest(name):
                arrange()
                try:
                    locks = self.keyboard.locks()
                    spare = Keyboard.spare_keycodes()
                    started = time.monotonic()
                    self.assertEqual(self.insert("typed", "[]", 1, 1, text),
                                     {"id": "i", "inserted": True, "ok": True})
                    took = time.monotonic() - started
                    self.assertEqual(self.app.texts()["typed"], "[" + text + "]")
                    # Nothing of the user's keyboard is left changed.
                    self.assertEqual(self.keyboard.locks(), locks)
                    self.assertEqual(Keyboard.spare_keycodes(), spare)
                    print("\n%s: %d characters typed and confirmed in %.3f s"
                          % (name, len(text), took), file=sys.stderr)
                finally:
                    undo()

    def test_keys_still_held_are_waited_for_never_typed_through(self):
        for key in ("Shift_L", "Control_L", "Alt_L", "Super_L", "a"):
            with self.subTest(key):
                self.keyboard.xdotool("keydown", key)
                try:
                    started = time.monotonic()
                    response = self.insert("typed", "keep", 4, 4, "abc")
                    waited = time.monotonic() - started
                finally:
                    self.keyboard.xdotool("keyup", key)
                self.assertEqual(response, {"error": "unsafe_input", "id": "i", "ok": False})
                self.assertGreaterEqual(waited, 1.0)
                self.assertEqual(self.app.texts()["typed"][:4], "keep")
        # A key released within the wait: typed once it is up, exactly.
        self.app.show("typed", "keep", 4, 4)
        token = self.bridge.send(id="c", op="capture")["target"]["token"]
        self.keyboard.xdotool("keydown", "Control_L")
        releaser = subprocess.Popen(["sh", "-c", "sleep 0.3; xdotool keyup Control_L"])
        try:
            self.assertEqual(self.bridge.send(id="i", op="insert", token=token, text="xa"),
                             {"id": "i", "inserted": True, "ok": True})
        finally:
            releaser.wait()
        self.assertEqual(self.app.texts()["typed"], "keepxa")

    def test_keys_that_would_edit_or_move_the_focus_are_refused(self):
        for text in ("a\tb", "a\nb", "a\bb", "a\rb"):
            with self.subTest(repr(text)):
                self.assertEqual(self.insert("typed", "keep", 4, 4, text),
                                 {"error": "unsafe_input", "id": "i", "ok": False})
                texts = self.app.texts()
                self.assertEqual((texts["typed"], texts["activated"]), ("keep", 0))
        # In a control of several lines a line break is a line break.
        self.assertEqual(self.insert("typedmulti", "ab", 1, 1, "x\ny\n"),
                         {"id": "i", "inserted": True, "ok": True})
        self.assertEqual(self.app.texts()["typedmulti"], "ax\ny\nb")

    def test_focus_moved_at_any_moment_of_typing_lands_nothing_elsewhere(self):
        text = "moving target, déjà vu " * 40
        for delay in (0.0, 0.01, 0.05, 0.15):
            for move in ("click", "raise"):
                with self.subTest(delay=delay, move=move):
                    other = App("Raised") if move == "raise" else None
                    try:
                        self.app.show("other", "", 0, 0)
                        self.app.show("typed", "[]", 1, 1)
                        token = self.bridge.send(id="c", op="capture")["target"]["token"]
                        line = json.dumps({"id": "i", "op": "insert", "token": token,
                                           "text": text}) + "\n"
                        self.bridge.proc.stdin.write(line.encode())
                        self.bridge.proc.stdin.flush()
                        time.sleep(delay)
                        if move == "click":
                            at = self.app.command(cmd="where", kind="other")
                            self.keyboard.xdotool("mousemove", str(at["x"]), str(at["y"]),
                                                  "click", "1")
                        else:
                            other.command(cmd="present")
                        response = json.loads(read_line(self.bridge.proc.stdout))
                        # Moved before the insert's checks: refused, nothing typed at all.
                        if not response["ok"]:
                            self.assertEqual(response["error"], "target_changed")
                        texts = self.app.texts()
                        self.assertEqual(texts["other"], "")
                        if other:
                            self.assertEqual(other.texts()["single"], "")
                        typed = texts["typed"]
                        self.assertTrue(typed.startswith("[") and typed.endswith("]"), typed)
                        self.assertTrue(text.startswith(typed[1:-1]), typed)
                        print("\n%s after %.2f s: %d of %d characters typed, then stopped"
                              % (move, delay, len(typed) - 2, len(text)), file=sys.stderr)
                    finally:
                        if other:
                            other.close()

    def test_end_of_input_after_a_typed_insert_leaves_the_keymap_as_it_was(self):
        # The parent quits right after sending the insert: it is typed to its end, answered,
        # and the process ends with the keymap given back.
        text = "".join(chr(0x4E00 + i) for i in range(300))
        spare = Keyboard.spare_keycodes()
        self.app.show("typed", "", 0, 0)
        bridge = Bridge()
        token = bridge.send(id="c", op="capture")["target"]["token"]
        line = json.dumps({"id": "i", "op": "insert", "token": token, "text": text})
        bridge.proc.stdin.write(line.encode() + b"\n")
        code, err = bridge.close()
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(self.app.texts()["typed"], text)
        self.assertEqual(Keyboard.spare_keycodes(), spare)

    def test_sigterm_while_typing_gives_the_keymap_back(self):
        text = "".join(chr(0x4E00 + i) for i in range(2000))  # no key of its own: all bound
        spare = Keyboard.spare_keycodes()
        self.keyboard.xdotool("key", "Caps_Lock")
        try:
            locks = self.keyboard.locks()
            for how in ("SIGTERM", "SIGINT", "SIGKILL"):
                with self.subTest(how):
                    bridge = Bridge()
                    self.app.show("other", "", 0, 0)
                    self.app.show("typed", "", 0, 0)
                    token = bridge.send(id="c", op="capture")["target"]["token"]
                    line = json.dumps({"id": "i", "op": "insert", "token": token, "text": text})
                    bridge.proc.stdin.write(line.encode() + b"\n")
                    bridge.proc.stdin.flush()
                    deadline = time.monotonic() + 10
                    while not self.app.texts()["typed"] and time.monotonic() < deadline:
                        time.sleep(0.01)
                    bridge.proc.send_signal(getattr(signal, how))
                    code = bridge.proc.wait(timeout=10)
                    self.assertEqual(code, -getattr(signal, how))
                    self.assertEqual(bridge.proc.stderr.read(), b"")
                    if how == "SIGKILL":
                        # Left bound by a process that could do nothing about it: the next one
                        # to start takes them back.
                        successor = Bridge()
                        self.assertEqual(successor.send(id="p", op="permissions")["accessibility"],
                                         True)
                        self.assertEqual(successor.close(), (0, b""))
                    else:
                        self.assertEqual(self.keyboard.locks(), locks)
                    self.assertEqual(Keyboard.spare_keycodes(), spare)
                    # Keys still on their way when the keymap went back may be dropped by the
                    # application; none becomes another character, and typing stopped.
                    texts = self.app.texts()
                    typed = texts["typed"]
                    self.assertTrue(len(typed) < len(text) and set(typed) <= set(text),
                                    "%d of %d: %r" % (len(typed), len(text), typed[:40]))
                    self.assertEqual(texts["other"], "")
                    for stream in (bridge.proc.stdin, bridge.proc.stdout, bridge.proc.stderr):
                        stream.close()
        finally:
            self.keyboard.xdotool("key", "Caps_Lock")


class Lifetimes(unittest.TestCase):
    def test_an_x_server_that_goes_away_leaves_the_process_answering(self):
        read_fd, write_fd = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp"],
                                pass_fds=(write_fd,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd, "rb") as f:
            display = ":" + f.readline().strip().decode()
        env = dict(os.environ, DISPLAY=display)
        bridge = subprocess.Popen([BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=env)

        def send(line):
            bridge.stdin.write(line + b"\n")
            bridge.stdin.flush()
            return read_line(bridge.stdout)

        try:
            self.assertEqual(send(b'{"id":"p","op":"permissions"}'),
                             b'{"accessibility":true,"id":"p","ok":true}\n')
        finally:
            xvfb.kill()
            xvfb.wait()
        self.assertEqual(send(b'{"id":"p","op":"permissions"}'),
                         b'{"accessibility":false,"id":"p","ok":true}\n')
        self.assertEqual(send(b'{"id":"c","op":"capture"}'),
                         b'{"error":"permission_required","id":"c","ok":false}\n')
        self.assertEqual(send(b'{"id":"r","op":"release"}'), b'{"id":"r","ok":true}\n')
        bridge.stdin.close()
        self.assertEqual(bridge.wait(timeout=10), 0)
        self.assertEqual(bridge.stderr.read(), b"")
        bridge.stdout.close()
        bridge.stderr.close()

    def test_ending_input_during_desktop_work_never_hangs_or_crashes(self):
        # The worker ends the process while the main thread and the desktop thread are busy.
        app = App("Short Lives")
        try:
            app.show("single", "abc", 0, 1)
            for i in range(40):
                lines = b'{"id":"c","op":"capture"}\n' * (1 + i % 3)
                done = subprocess.run([BINARY], input=lines, capture_output=True, timeout=20)
                self.assertEqual((done.returncode, done.stderr), (0, b""), "run %d" % i)
                self.assertEqual(done.stdout.count(b'"ok":true'), 1 + i % 3)
        finally:
            app.close()


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    if not os.environ.get("SB_PRIVATE_DESKTOP") or not os.environ.get("DISPLAY"):
        print("no private desktop: skipped (run inside tools/desktop_session.py)")
        sys.exit(77)
    unittest.main(verbosity=2)
