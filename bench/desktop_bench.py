#!/usr/bin/env python3
"""selection-bridge against the GTK test application on a real (headless) desktop: capture
latency, insert until confirmed, and memory over a long life while the application emits events.

Usage: desktop_bench.py BUILD_DIR   (inside tools/desktop_session.py)
"""
import ctypes
import json
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "..", "tests", "desktop", "selection_test_app.py")


class App:
    def __init__(self, *args):
        self.proc = subprocess.Popen(["/usr/bin/python3", APP] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "READY"

    def command(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


class Bridge:
    def __init__(self, binary):
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def send(self, **request):
        self.proc.stdin.write(json.dumps(request).encode() + b"\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def capture_latency(binary, label, *app_args):
    app = App(*app_args)
    bridge = Bridge(binary)
    app.command(cmd="show", kind="single", value="Hello world", start=6, end=11)
    times = []
    for _ in range(100):
        started = time.perf_counter()
        response = bridge.send(id="c", op="capture")
        times.append(time.perf_counter() - started)
        assert response["ok"], response
    bridge.close()
    app.close()
    times.sort()
    print("capture, %s: median %.1f ms, 95th percentile %.1f ms"
          % (label, statistics.median(times) * 1e3, times[94] * 1e3))


class KeymapNotifications:
    """Counts the keymap-change notifications that every X client receives (and reloads its
    keymap for), as a bystander client sees them."""

    def __init__(self):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XPending.argtypes = [ctypes.c_void_p]
        x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        x11.XkbSelectEvents.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_ulong,
                                        ctypes.c_ulong]
        self.x11, self.display = x11, x11.XOpenDisplay(None)
        ints = [ctypes.c_int() for _ in range(5)]
        ints[3].value, ints[4].value = 1, 0
        x11.XkbQueryExtension(ctypes.c_void_p(self.display), *[ctypes.byref(i) for i in ints])
        self.xkb_event = ints[1].value
        x11.XkbSelectEvents(self.display, 0x100, 2, 2)  # XkbMapNotify
        self.count, self.running = 0, True
        self.thread = threading.Thread(target=self.listen, daemon=True)
        self.thread.start()

    def listen(self):
        event = ctypes.create_string_buffer(192)
        while self.running:
            while self.x11.XPending(self.display):
                self.x11.XNextEvent(self.display, event)
                kind = ctypes.c_int.from_buffer(event).value
                # XkbAnyEvent: type, serial, send_event, display, time, xkb_type
                xkb_type = ctypes.c_int.from_buffer(event, 40).value
                if kind == self.xkb_event and xkb_type == 1:  # XkbMapNotify
                    self.count += 1
            time.sleep(0.001)

    def take(self):
        time.sleep(0.05)
        count, self.count = self.count, 0
        return count


def text_of_units(units):
    text = ""
    for c in "Zürich 東京 Ōsaka & more. " * 3000:
        if len((text + c).encode("utf-16-le")) > 2 * units:
            break
        text += c
    return text.ljust(units - (len(text.encode("utf-16-le")) // 2 - len(text)), ".")


def insert_until_confirmed(binary):
    app = App()
    bridge = Bridge(binary)
    notifications = KeymapNotifications()
    for kind, delivery in (("multi", "through the control"), ("typedmulti", "typed")):
        for units in (20, 2000, 30000):
            text = text_of_units(units)
            runs = []
            for _ in range(1 if units == 30000 and kind == "typedmulti" else 3):
                app.command(cmd="show", kind=kind, value="", start=0, end=0)
                token = bridge.send(id="c", op="capture")["target"]["token"]
                notifications.take()
                started = time.perf_counter()
                response = bridge.send(id="i", op="insert", token=token, text=text)
                answered = time.perf_counter() - started
                while app.command(cmd="texts")[kind] != text:
                    time.sleep(0.005)
                runs.append((time.perf_counter() - started, answered, response,
                             notifications.take()))
            runs.sort(key=lambda r: r[0])
            arrived, answered, response, changes = runs[len(runs) // 2]
            verdict = "inserted" if response.get("inserted") else "inputSent"
            print("insert of %5d units, %s: in the control after %.3f s; answered %s after "
                  "%.3f s; %d keymap notifications"
                  % (units, delivery, arrived, verdict, answered, changes))
    notifications.running = False
    bridge.close()
    app.close()


def typed_against_xdotool(binary):
    """The typed delivery per character, next to xdotool type --delay 0 into the same control."""
    app = App()
    bridge = Bridge(binary)
    text = ("The quick brown fox jumps over the lazy dog. " * 50)[:2000]
    figures = {}
    for who in ("selection-bridge", "xdotool"):
        times = []
        for _ in range(3):
            app.command(cmd="show", kind="typedmulti", value="", start=0, end=0)
            token = bridge.send(id="c", op="capture")["target"]["token"]
            started = time.perf_counter()
            if who == "xdotool":
                subprocess.run(["xdotool", "type", "--delay", "0", text], check=True)
            else:
                assert bridge.send(id="i", op="insert", token=token, text=text)["ok"]
            while app.command(cmd="texts")["typedmulti"] != text:
                time.sleep(0.002)
            times.append(time.perf_counter() - started)
        figures[who] = statistics.median(times) / len(text)
    bridge.close()
    app.close()
    print("typed, %d ASCII characters: %.3f ms a character; xdotool type --delay 0: %.3f ms; "
          "ratio %.2f" % (len(text), figures["selection-bridge"] * 1e3, figures["xdotool"] * 1e3,
                          figures["selection-bridge"] / figures["xdotool"]))


def long_life(binary):
    app = App("--churn")
    bridge = Bridge(binary)
    app.command(cmd="show", kind="single", value="Hello world", start=6, end=11)
    figures = {}
    started = time.perf_counter()
    for i in range(1, 5001):
        assert bridge.send(id="c", op="capture")["ok"]
        bridge.send(id="r", op="release")
        if i in (500, 5000):
            figures[i] = bridge.rss_kb()
    elapsed = time.perf_counter() - started
    bridge.close()
    app.close()
    print("5000 captures while the application changes a label every 5 ms (%.1f s): RSS %.1f MB "
          "after 500, %.1f MB after 5000" % (elapsed, figures[500] / 1024, figures[5000] / 1024))


def main():
    binary = os.path.join(sys.argv[1], "selection-bridge")
    capture_latency(binary, "test application (4 text controls)")
    capture_latency(binary, "1000 extra widgets", "--widgets", "1000")
    insert_until_confirmed(binary)
    typed_against_xdotool(binary)
    long_life(binary)


if __name__ == "__main__":
    main()
