#!/usr/bin/env python3
"""End to end against applications people use, installed from Debian's packages: the built
selection-bridge captures and inserts, and the truth is read through the application's own
channel (the file it saves), never through accessibility.

Usage: applications_test.py PATH_TO_BINARY   (inside tools/desktop_session.py)
One table of cases runs against each application in APPLICATIONS whose program is installed.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_test  # noqa: E402  (the bridge, the test application and the keyboard helpers)
from desktop_test import App, Bridge, Keyboard  # noqa: E402


class Application:
    """One application under test, started on a folder of its own; `shown` is what its own
    channel says its control holds."""

    def __init__(self, program):
        self.program = program
        self.folder = tempfile.mkdtemp(prefix="sb-app-")
        self.proc = None

    def available(self):
        return shutil.which(self.program) is not None

    def start(self, argv):
        env = dict(os.environ, GTK_A11Y="atspi", NO_AT_BRIDGE="0")
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def save(self):
        """Asks the application to put its text where `shown` reads it."""

    def activate(self):
        """Brings the application's window to the front."""

    def saved(self):
        # Read once it has stood still for a while: the application takes its time.
        self.save()
        before, since = self.shown(), time.monotonic()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = self.shown()
            if now != before:
                before, since = now, time.monotonic()
            elif time.monotonic() - since >= 0.5:
                break
        return before

    def close(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class TextEditor(Application):
    """An editor opened on a file; the selection is made with keys, as a user makes it, and the
    file it saves is the truth."""

    def __init__(self, command, title):
        super().__init__(command[0])
        self.command, self.title = command, title
        self.path = os.path.join(self.folder, "notes.txt")

    def prepare(self, text, line, selected, start, end):
        with open(self.path, "w", encoding="utf-8") as f:
            f.write(text)
        self.start(self.command + [self.path])
        self.activate()
        time.sleep(0.5)  # the document is loaded after the window shows
        self.select(line, start, end)

    def select(self, line, start, end):
        """Selects caret positions start..end of a line (user-perceived characters, as the arrow
        keys move), with the keyboard."""
        Keyboard.xdotool("key", "ctrl+Home")
        for _ in range(line):
            Keyboard.xdotool("key", "Down")
        Keyboard.xdotool("key", "Home")
        for _ in range(start):
            Keyboard.xdotool("key", "Right")
        for _ in range(end - start):
            Keyboard.xdotool("key", "shift+Right")
        time.sleep(0.2)

    def activate(self):
        Keyboard.xdotool("search", "--sync", "--onlyvisible", "--name", self.title,
                         "windowactivate", "--sync")

    def save(self):
        Keyboard.xdotool("key", "ctrl+s")

    def shown(self):
        with open(self.path, encoding="utf-8") as f:
            return f.read()


class ChromiumPage(Application):
    """Chromium showing a text area (tests/pages/textarea.html) with the text and the selection
    set by the page; the page's title, set by its own script, is the truth."""

    PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pages", "textarea.html")

    def __init__(self):
        super().__init__("chromium")

    def prepare(self, text, line, selected, start=None, end=None):
        lines = text.split("\n")
        before = "\n".join(lines[:line]) + ("\n" if line else "")
        at = len((before + lines[line][:lines[line].index(selected)]).encode("utf-16-le")) // 2
        wanted = {"value": text, "start": at, "end": at + len(selected.encode("utf-16-le")) // 2}
        url = "file://%s#%s" % (self.PAGE, urllib.parse.quote(json.dumps(wanted)))
        # Its accessibility tree only on request; the network flags keep it from reaching out.
        self.start(["chromium", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--force-renderer-accessibility",
                    "--user-data-dir=" + self.folder, url])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.shown() != text:
            time.sleep(0.2)
        self.activate()
        time.sleep(1.0)  # the accessibility tree follows the page

    def activate(self):
        Keyboard.xdotool("search", "--onlyvisible", "--class", "chromium", "windowactivate",
                         "--sync")

    def shown(self):
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "chromium",
                              "getwindowname"], capture_output=True, text=True).stdout
        for name in out.splitlines():
            try:
                return json.loads(name.rsplit(" - ", 1)[0])["text"]
            except (ValueError, KeyError, TypeError):
                continue
        return None


# name, how to start it, and the cases whose selection the application reports wrongly: there the
# capture must return no selection rather than the wrong one, and the insert must write nothing.
CHROMIUM_OFFSETS = ("Chromium's selection offsets come out short after a character outside the "
                    "BMP")
APPLICATIONS = [
    ("gnome-text-editor (GTK 4)",
     lambda: TextEditor(["gnome-text-editor", "--standalone"], "notes.txt"), {}),
    ("Chromium (a text area, typed)", ChromiumPage,
     {"emoji with modifier before": CHROMIUM_OFFSETS,
      "astral before, astral inserted": CHROMIUM_OFFSETS}),
]

# name, file, (line, start, end) selected in caret positions, the selection as captured, text
# inserted, the file after
CASES = [
    ("ascii", "Hello brave new world\n", (0, 6, 11), "brave", "there",
     "Hello there new world\n"),
    ("accents", "Voilà déjà vu\n", (0, 6, 10), "déjà", "naïve", "Voilà naïve vu\n"),
    ("cjk", "中文 テキスト 한국어\n", (0, 3, 7), "テキスト", "文字", "中文 文字 한국어\n"),
    ("emoji with modifier before", "👍🏽 ok fine\n", (0, 2, 4), "ok", "good", "👍🏽 good fine\n"),
    ("astral before, astral inserted", "𝄞 note here\n", (0, 2, 6), "note", "𝄢 clef",
     "𝄞 𝄢 clef here\n"),
    ("several lines", "one\ntwo\nthree\n", (1, 0, 3), "two", "2\n2b", "one\n2\n2b\nthree\n"),
]


class Applications(unittest.TestCase):
    def test_capture_and_insert_exactly(self):
        ran = 0
        for name, make, known in APPLICATIONS:
            for case, text, (line, start, end), selected, inserted, after in CASES:
                application = make()
                if not application.available():
                    continue
                with self.subTest(application=name, case=case):
                    bridge = Bridge()
                    try:
                        application.prepare(text, line, selected, start, end)
                        started = time.monotonic()
                        captured = bridge.send(id="c", op="capture")
                        capture_s = time.monotonic() - started
                        self.assertTrue(captured["ok"], captured)
                        if case in known:
                            # Untrustworthy offsets: nothing selected, nothing replaced.
                            self.assertEqual(captured["target"]["selectedText"], "", known[case])
                            refused = bridge.send(id="i", op="insert",
                                                  token=captured["target"]["token"], text=inserted)
                            self.assertFalse(refused["ok"], refused)
                            self.assertIn(refused["error"], ("unsafe_input", "target_changed"))
                            self.assertEqual(application.saved(), text)
                            print("\n%s, %s: %s; refused, nothing written"
                                  % (name, case, known[case]), file=sys.stderr)
                            continue
                        self.assertEqual(captured["target"]["selectedText"], selected)
                        started = time.monotonic()
                        self.assertEqual(bridge.send(id="i", op="insert",
                                                     token=captured["target"]["token"],
                                                     text=inserted),
                                         {"id": "i", "inserted": True, "ok": True})
                        insert_s = time.monotonic() - started
                        self.assertEqual(application.saved(), after)
                        ran += 1
                        print("\n%s, %s: capture %.0f ms, inserted in %.0f ms"
                              % (name, case, capture_s * 1e3, insert_s * 1e3), file=sys.stderr)
                    finally:
                        self.assertEqual(bridge.close(), (0, b""))
                        application.close()
        if ran == 0:
            self.skipTest("none of the applications is installed")

    def test_another_application_raised_nothing_written(self):
        for name, make, _ in APPLICATIONS:
            application = make()
            if not application.available():
                continue
            with self.subTest(application=name):
                bridge = Bridge()
                other = None
                try:
                    application.prepare("keep me\n", 0, "keep", 0, 4)
                    token = bridge.send(id="c", op="capture")["target"]["token"]
                    other = App("Raised")
                    self.assertEqual(bridge.send(id="i", op="insert", token=token, text="x"),
                                     {"error": "target_changed", "id": "i", "ok": False})
                    self.assertEqual(other.texts()["single"], "")
                    application.activate()
                    self.assertEqual(application.saved(), "keep me\n")
                finally:
                    if other:
                        other.close()
                    self.assertEqual(bridge.close(), (0, b""))
                    application.close()


if __name__ == "__main__":
    desktop_test.BINARY = os.path.abspath(sys.argv.pop(1))
    if not os.environ.get("SB_PRIVATE_DESKTOP") or not os.environ.get("DISPLAY"):
        print("no private desktop: skipped (run inside tools/desktop_session.py)")
        sys.exit(77)
    unittest.main(verbosity=2)
