#!/usr/bin/env python3
"""Shows selection-bridge at work on a real desktop: the GTK test application with "Hello world"
and "world" selected, a "capture" and an "insert" exchanged with the process, and screenshots of
the window before and after.

Usage: demo.py PATH_TO_BINARY OUTPUT_DIR   (inside a desktop session: tools/desktop_session.py)
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "..", "tests", "desktop", "selection_test_app.py")


def screenshot(path):
    subprocess.run(["import", "-window", "root", "-crop", "640x480+0+0", path], check=True)
    print("saved %s" % path)


def main():
    binary, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    app = subprocess.Popen(["/usr/bin/python3", APP, "--app-name", "Demo Notes"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    app.stdout.readline()
    app.stdin.write(json.dumps({"cmd": "show", "kind": "single", "value": "Hello world",
                                "start": 6, "end": 11}) + "\n")
    app.stdin.flush()
    app.stdout.readline()
    time.sleep(0.3)  # let the window paint before the picture is taken
    screenshot(os.path.join(out, "before.png"))

    bridge = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def exchange(request):
        line = json.dumps(request, ensure_ascii=False)
        print("> " + line)
        bridge.stdin.write(line.encode() + b"\n")
        bridge.stdin.flush()
        answer = bridge.stdout.readline().decode().rstrip("\n")
        print("< " + answer)
        return json.loads(answer)

    exchange({"id": "1", "op": "permissions"})
    token = exchange({"id": "2", "op": "capture"})["target"]["token"]
    exchange({"id": "3", "op": "insert", "token": token, "text": "Zürich, 東京 & Ōsaka"})
    exchange({"id": "4", "op": "insert", "token": token, "text": "again"})
    bridge.stdin.close()
    bridge.wait()
    time.sleep(0.3)
    screenshot(os.path.join(out, "after.png"))
    app.stdin.write(json.dumps({"cmd": "texts"}) + "\n")
    app.stdin.flush()
    print("the application's field now reads: %s" % json.loads(app.stdout.readline())["single"])
    app.stdin.close()
    app.wait()


if __name__ == "__main__":
    main()
