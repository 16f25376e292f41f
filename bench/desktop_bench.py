#!/usr/bin/env python3
"""selection-bridge against the GTK test application on a real (headless) desktop: capture
latency, insert until confirmed, and memory over a long life while the application emits events.

Usage: desktop_bench.py BUILD_DIR   (inside tools/desktop_session.py)
"""
import json
import os
import statistics
import subprocess
import sys
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


def insert_until_confirmed(binary):
    app = App()
    bridge = Bridge(binary)
    for n in (20, 200, 2000):
        text = ("Zürich 東京 Ōsaka & more. " * 100)[:n]
        runs = []
        for _ in range(3):
            app.command(cmd="show", kind="multi", value="", start=0, end=0)
            token = bridge.send(id="c", op="capture")["target"]["token"]
            started = time.perf_counter()
            response = bridge.send(id="i", op="insert", token=token, text=text)
            answered = time.perf_counter() - started
            while app.command(cmd="texts")["multi"] != text:
                time.sleep(0.005)
            runs.append((time.perf_counter() - started, answered, response))
        runs.sort(key=lambda r: r[0])
        arrived, answered, response = runs[1]
        verdict = "inserted" if response.get("inserted") else "inputSent"
        print("insert of %4d characters: in the control after %.3f s; answered %s after %.3f s"
              % (n, arrived, verdict, answered))
    bridge.close()
    app.close()


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
    long_life(binary)


if __name__ == "__main__":
    main()
