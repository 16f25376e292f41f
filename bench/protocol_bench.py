#!/usr/bin/env python3
"""Throughput, latency and memory of the request loop, printed as figures.

Usage: protocol_bench.py BUILD_DIR   (needs BUILD_DIR/selection-bridge and BUILD_DIR/line_echo)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# No display, no session bus, a runtime folder without one: the benchmark never touches the
# session it is run from.
ENV = {k: v for k, v in os.environ.items()
       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
                    "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE")}
ENV["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="sb-bench-")


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def burst(command, payload_path, runs=5):
    """Seconds to answer a whole burst, best of `runs`: the requests come from a pipe and the
    answers go into one, the same pipes for every command compared."""
    best = None
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(["bash", "-c", 'cat "$1" | "${@:2}" | cat >/dev/null', "burst",
                        payload_path] + command, env=ENV, check=True)
        elapsed = time.perf_counter() - started
        best = elapsed if best is None else min(best, elapsed)
    return best


def start(binary):
    return subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=ENV)


def round_trips(binary, count=2000):
    proc = start(binary)
    times = []
    for i in range(count):
        line = b'{"id":"%d","op":"release"}\n' % i
        started = time.perf_counter()
        proc.stdin.write(line)
        proc.stdin.flush()
        proc.stdout.readline()
        times.append(time.perf_counter() - started)
    proc.stdin.close()
    proc.wait()
    return statistics.median(times)


def feed(proc, chunks):
    def writer():
        for chunk in chunks:
            proc.stdin.write(chunk)
        proc.stdin.flush()
    thread = threading.Thread(target=writer)
    thread.start()
    return thread


def big_line(binary, size, terminated):
    proc = start(binary)
    block = b"x" * (1 << 20)
    started = time.perf_counter()
    head = b'{"id":"big","op":"release","pad":"'
    body = [head] + [block] * (size // len(block)) + [b"x" * (size % len(block) - len(head))
                                                      if size % len(block) >= len(head) else b""]
    if terminated:
        body.append(b'"}\n')
    feed(proc, body).join()
    if not terminated:
        proc.stdin.flush()
        time.sleep(0.2)  # let the reader drain the pipe before the peak is read
    peak = status_kb(proc.pid, "VmHWM") if not terminated else None
    proc.stdin.close()
    out = proc.stdout.read()
    elapsed = time.perf_counter() - started
    proc.wait()
    return elapsed, peak, out


def rss_growth(binary):
    proc = start(binary)
    line = b'{"id":"steady-state","op":"release"}\n'
    expected = b'{"id":"steady-state","ok":true}\n'
    figures = {}
    sent = 0
    for target in (10000, 1000000):
        thread = feed(proc, [line * 10000] * ((target - sent) // 10000))
        for _ in range(target - sent):
            assert proc.stdout.readline() == expected
        thread.join()
        sent = target
        figures[target] = status_kb(proc.pid, "VmRSS")
    proc.stdin.close()
    proc.wait()
    return figures


def main():
    build = sys.argv[1]
    bridge = os.path.join(build, "selection-bridge")
    echo = os.path.join(build, "line_echo")
    n = 200000
    payload = b"".join(b'{"id":"r%d","op":"release"}\n' % i for i in range(n))
    with tempfile.NamedTemporaryFile(prefix="sb-burst-", delete=False) as f:
        f.write(payload)
    try:
        out = subprocess.run([bridge], input=payload, capture_output=True, env=ENV).stdout
        assert out == b"".join(b'{"id":"r%d","ok":true}\n' % i for i in range(n))
        bridge_s = burst([bridge], f.name)
        echo_s = burst([echo], f.name)
        jq_s = burst(["jq", "-c", "--unbuffered", "."], f.name) if shutil.which("jq") else None
    finally:
        os.unlink(f.name)
    print("burst of %d release requests through pipes: %.3f s (%.0f req/s); C line echo "
          "(getline, fwrite, fflush) %.3f s (%.0f lines/s): ratio %.2f"
          % (n, bridge_s, n / bridge_s, echo_s, n / echo_s, echo_s / bridge_s))
    if jq_s:
        print("jq -c --unbuffered on the same lines: %.3f s (%.0f lines/s): selection-bridge is "
              "%.1fx as fast" % (jq_s, n / jq_s, jq_s / bridge_s))
    print("median round trip of one request: %.1f us (line-echo %.1f us)"
          % (round_trips(bridge) * 1e6, round_trips(echo) * 1e6))
    elapsed, _, out = big_line(bridge, 250000 - 3, True)
    print("250000-byte request: %.1f ms, answered %s" % (elapsed * 1e3, out.strip().decode()))
    elapsed, peak, out = big_line(bridge, 1 << 30, False)
    print("1 GiB line without LF: %.2f s, peak RSS %.1f MB, answered %s"
          % (elapsed, peak / 1024, out.strip().decode()))
    growth = rss_growth(bridge)
    print("RSS after 10,000 requests: %.1f MB; after 1,000,000: %.1f MB"
          % (growth[10000] / 1024, growth[1000000] / 1024))


if __name__ == "__main__":
    main()
