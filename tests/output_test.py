#!/usr/bin/env python3
"""Drives the built selection-bridge binary over its standard input and output.

Usage: output_test.py PATH_TO_BINARY
Every case compares whole output lines, the exit status and standard error.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None
DEFAULT = b'{"error":"invalid_request","id":"","ok":false}\n'
# This process may be run where a desktop session exists; the cases below need the answers of a
# machine without one, and must never touch that session (switch its accessibility on, say). So
# the binary is started with no display, no session bus and a runtime folder of its own, in which
# no bus can be found.
RUNTIME = tempfile.mkdtemp(prefix="sb-output-test-")
ENV = {k: v for k, v in os.environ.items()
       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
                    "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE")}
ENV["XDG_RUNTIME_DIR"] = RUNTIME


def run(stdin_bytes, timeout=60):
    proc = subprocess.run([BINARY], input=stdin_bytes, capture_output=True, timeout=timeout,
                          env=ENV)
    return proc.returncode, proc.stdout, proc.stderr


class Exchanges(unittest.TestCase):
    CASES = [
        ("empty input", b"", b""),
        ("last line without LF", b'{"id":"a","op":"release"}', b'{"id":"a","ok":true}\n'),
        ("CRLF like LF", b'{"id":"a","op":"release"}\r\n{"id":"b","op":"release"}\r\n',
         b'{"id":"a","ok":true}\n{"id":"b","ok":true}\n'),
        ("empty line", b"\n", DEFAULT),
        ("CR LF alone", b"\r\n", DEFAULT),
        ("CR inside a line stays", b'{"id":"a",\r"op":"release"}\n', b'{"id":"a","ok":true}\n'),
        ("empty lines do not end input", b'\n\n{"id":"z","op":"release"}\n',
         DEFAULT + DEFAULT + b'{"id":"z","ok":true}\n'),
        ("ill-formed UTF-8 becomes U+FFFD", b'{"id":"\xff\xc3","op":"release"}\n',
         b'{"id":"\xef\xbf\xbd\xef\xbf\xbd","ok":true}\n'),
        ("a NUL byte after the object", b'{"id":"a","op":"release"}\x00\n', DEFAULT),
        ("a NUL byte between two objects",
         b'{"id":"a","op":"release"}\x00{"id":"b","op":"release"}\n', DEFAULT),
        ("no desktop: not trusted", b'{"id":"p","op":"permissions"}\n',
         b'{"accessibility":false,"id":"p","ok":true}\n'),
        ("no desktop: capture needs permission", b'{"id":"c","op":"capture"}\n',
         b'{"error":"permission_required","id":"c","ok":false}\n'),
        ("no desktop: insert without capture", b'{"id":"i","op":"insert","token":"x","text":"y"}\n',
         b'{"error":"target_changed","id":"i","ok":false}\n'),
    ]

    def test_cases(self):
        for name, stdin_bytes, expected in self.CASES:
            with self.subTest(name):
                code, out, err = run(stdin_bytes)
                self.assertEqual(out, expected)
                self.assertEqual(code, 0)
                self.assertEqual(err, b"")


class Volume(unittest.TestCase):
    def test_burst_answered_in_order(self):
        count = 5000
        stdin_bytes = b"".join(b'{"id":"r%d","op":"release"}\n' % i for i in range(count))
        code, out, err = run(stdin_bytes)
        self.assertEqual(out.split(b"\n")[:-1], [b'{"id":"r%d","ok":true}' % i for i in range(count)])
        self.assertEqual((code, err), (0, b""))

    def test_line_of_megabytes_then_a_normal_line(self):
        huge = b'{"id":"big","op":"release","pad":"' + b"x" * (8 << 20) + b'"}\n'
        code, out, err = run(huge + b'{"id":"after","op":"release"}\n')
        self.assertEqual(out, DEFAULT + b'{"id":"after","ok":true}\n')
        self.assertEqual((code, err), (0, b""))

    def test_line_limit_counts_bytes(self):
        head, tail = b'{"id":"L","op":"release","pad":"', b'"}'
        exact = head + b"a" * (250000 - len(head) - len(tail)) + tail
        over = head + b"a" * (250001 - len(head) - len(tail)) + tail
        code, out, err = run(exact + b"\r\n" + over + b"\n")
        self.assertEqual(out, b'{"id":"L","ok":true}\n' + DEFAULT)
        self.assertEqual((code, err), (0, b""))


class Lifecycle(unittest.TestCase):
    def test_each_response_is_flushed_before_the_next_line_is_read(self):
        proc = subprocess.Popen([BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=ENV)
        try:
            for i in range(20):
                proc.stdin.write(b'{"id":"%d","op":"release"}\n' % i)
                proc.stdin.flush()
                self.assertEqual(proc.stdout.readline(), b'{"id":"%d","ok":true}\n' % i)
            started = time.monotonic()
            proc.stdin.close()  # closing input while the process waits for a line ends it
            self.assertEqual(proc.wait(timeout=10), 0)
            self.assertLess(time.monotonic() - started, 5)
            self.assertEqual(proc.stdout.read(), b"")
            self.assertEqual(proc.stderr.read(), b"")
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.stdout.close()
            proc.stderr.close()

    def test_exit_at_end_of_input_never_hangs_or_crashes(self):
        # The worker ends the process while the main thread waits for work: many short lives.
        inputs = [b"", b'{"id":"x","op":"release"}\n', b'{"id":"c","op":"capture"}\n']
        for i in range(300):
            code, out, err = run(inputs[i % len(inputs)], timeout=20)
            self.assertEqual((code, err), (0, b""), "run %d" % i)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    try:
        unittest.main(verbosity=1)
    finally:
        shutil.rmtree(RUNTIME, ignore_errors=True)
