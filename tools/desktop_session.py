#!/usr/bin/env python3
"""Starts a private headless desktop: Xvfb, a window manager (openbox, as users run one), a D-Bus
session bus and the accessibility bus with accessibility enabled; runs a command inside it; then
stops it all.

Usage: desktop_session.py [--] COMMAND [ARGS...]
The command sees DISPLAY and DBUS_SESSION_BUS_ADDRESS of the new desktop; its exit status is ours.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


class Session:
    def __init__(self):
        self.processes = []
        self.env = dict(os.environ)
        self.runtime = tempfile.mkdtemp(prefix="sb-desktop-")
        os.chmod(self.runtime, 0o700)

    def start(self):
        env = self.env
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("AT_SPI_BUS_ADDRESS", None)
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["NO_AT_BRIDGE"] = "0"
        env["GTK_A11Y"] = "atspi"
        # The desktop tests run only where this is set: never on the session of the developer
        # who runs them.
        env["SB_PRIVATE_DESKTOP"] = "1"
        # Xvfb picks a free display and writes its number on the given descriptor.
        read_fd, write_fd = os.pipe()
        # -noreset: the accessibility bus's address stays on the root window when the last client
        # leaves, as Qt applications need to find it.
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(xvfb)
        os.close(write_fd)
        display = b""
        with os.fdopen(read_fd, "rb") as f:
            display = f.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        env["DISPLAY"] = ":" + display.decode()
        self.start_window_manager()

        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.processes.append(bus)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()

        launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        self.processes.append(launcher)
        self.gdbus("call", "--wait", "org.a11y.Bus", "--timeout", "10")
        self.gdbus("call", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus", "--method",
                   "org.freedesktop.DBus.Properties.Set", "org.a11y.Status", "IsEnabled", "<true>")
        address = self.gdbus("call", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus",
                             "--method", "org.a11y.Bus.GetAddress")
        a11y = address.strip().strip("(),").strip("'")
        # The registry is started on demand by the accessibility bus; ask for it now.
        subprocess.run(["gdbus", "call", "--address", a11y, "--dest", "org.a11y.atspi.Registry",
                        "--object-path", "/org/a11y/atspi/accessible/root", "--method",
                        "org.freedesktop.DBus.Peer.Ping"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
        return env

    def start_window_manager(self):
        wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=self.env)
        self.processes.append(wm)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                                  capture_output=True, text=True)
            if "window id" in done.stdout:
                return
            time.sleep(0.02)
        raise RuntimeError("the window manager did not start")

    def gdbus(self, *args):
        if args[:2] == ("call", "--wait"):
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                done = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                                       "--object-path", "/org/freedesktop/DBus", "--method",
                                       "org.freedesktop.DBus.NameHasOwner", args[2]],
                                      env=self.env, capture_output=True, text=True)
                if "true" in done.stdout:
                    return ""
                time.sleep(0.01)
            raise RuntimeError("%s did not appear" % args[2])
        done = subprocess.run(["gdbus", args[0], "--session"] + list(args[1:]), env=self.env,
                              capture_output=True, text=True, timeout=20, check=True)
        return done.stdout

    def stop(self):
        for proc in reversed(self.processes):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in reversed(self.processes):
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(self.runtime, ignore_errors=True)


def main():
    command = sys.argv[1:]
    if command and command[0] == "--":
        command = command[1:]
    session = Session()
    try:
        started = time.monotonic()
        env = session.start()
        print("desktop: %s ready in %.2f s" % (env["DISPLAY"], time.monotonic() - started),
              file=sys.stderr, flush=True)
        return subprocess.call(command, env=env)
    finally:
        session.stop()


if __name__ == "__main__":
    sys.exit(main())
