#!/usr/bin/env python3
"""End to end on a real desktop: selection-bridge against the GTK test application.

Usage: desktop_test.py PATH_TO_BINARY   (inside a desktop session, see tools/desktop_session.py)
"""
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


class Desktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.app = App("Selection Test")
        cls.bridge = Bridge()

    @classmethod
    def tearDownClass(cls):
        code, err = cls.bridge.close()
        cls.app.close()
        assert (code, err) == (0, b""), (code, err)

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


class Lifetimes(unittest.TestCase):
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
    if not os.environ.get("DISPLAY") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("no desktop session: skipped (run inside tools/desktop_session.py)")
        sys.exit(77)
    unittest.main(verbosity=2)
