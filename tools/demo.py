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
    window = subprocess.run(["xdotool", "search", "--onlyvisible", "--limit", "1", "--name", "Demo Notes"],
                            capture_output=True, text=True).stdout.split()
    subprocess.run(["import", "-window", window[0] if window else "root", path], check=True)
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
    captured = exchange({"id": "2", "op": "capture"})
    if not captured["ok"]:
        bridge.stdin.close()
        bridge.wait()
        app.stdin.close()
        app.wait()
        print("capture refused (%s)." % captured["error"], file=sys.stderr)
        if captured["error"] == "permission_required":
            print("Accessibility is off in this session. The capture has just asked for it to be "
                  "switched on; applications started from now on take it up. To switch it on "
                  "yourself:\n  gsettings set org.gnome.desktop.interface toolkit-accessibility "
                  "true\nor, on any desktop with the accessibility bus:\n  gdbus call --session "
                  "--dest org.a11y.Bus --object-path /org/a11y/bus --method "
                  "org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<true>'\n"
                  "then run tools/run.sh again.", file=sys.stderr)
        return 1
    token = captured["target"]["token"]
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
