#!/usr/bin/env python3
"""The browser console with a fleet of 10,000 terminals.

The real program, headless, runs a fleet of n (10,000) VT100 Clients that all
call one loopback host; its fleet page is opened in headless chromium. Three
figures, each with its target:

- load: from asking for the page until it shows the count and its first tiles
  (target < 2 s);
- filter: from typing a terminal's name into the filter until that terminal's
  tile is the only one (target < 0.5 s, the page's 120 ms pause included);
- CPU: the program's processor time while the host changes the display of 100
  terminals ten times a second each (the first 100 to connect, which are the
  tiles in view) for s (10) seconds, the page open (target < 20% of a core).

Usage: bench_web_console.py --binary PATH [--terminals N] [--seconds S]
"""

import argparse
import json
import os
import resource
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))

from webtools import chromium, wait_for  # noqa: E402


class Host:
    """Takes every terminal's connection and discards what they send."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0), backlog=4096)
        self.server.setblocking(False)
        self.port = self.server.getsockname()[1]
        self.conns = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        sel = selectors.DefaultSelector()
        sel.register(self.server, selectors.EVENT_READ)
        while self.running:
            for key, _ in sel.select(0.2):
                if key.fileobj is self.server:
                    while True:
                        try:
                            conn, _ = self.server.accept()
                        except BlockingIOError:
                            break
                        conn.setblocking(False)
                        with self.lock:
                            self.conns.append(conn)
                        sel.register(conn, selectors.EVENT_READ)
                else:
                    try:
                        if not key.fileobj.recv(65536):
                            sel.unregister(key.fileobj)
                    except OSError:
                        sel.unregister(key.fileobj)

    def first(self, n):
        with self.lock:
            return list(self.conns[:n])


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.environ.get("ETHERNET_BINARY", "ethernet"))
    parser.add_argument("--terminals", type=int, default=10000)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    work = tempfile.mkdtemp(prefix="bench-web-")
    host = Host()
    program = None
    driver = None
    try:
        config = os.path.join(work, "Config.ini")
        with open(config, "w") as f:
            f.write(f"[Config]\nConexao=1\nPorta={host.port}\nEndereco=127.0.0.1\nProtocolo=0\nInicializacao=0\n")
        fleet = os.path.join(work, "fleet")
        subprocess.run([args.binary, "--make-fleet", fleet, "--count", str(args.terminals), "--from", config],
                       check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        program = subprocess.Popen([args.binary, "--headless", "--fleet", fleet, "--web", "127.0.0.1:0"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
        ready = json.loads(program.stdout.readline())["ready"]
        wait_for(lambda: len(host.conns) >= args.terminals, timeout=300, what="every terminal connected")
        print(f"{args.terminals} terminals connected to the host")

        driver = chromium(os.path.join(work, "profile"), 1600, 1000)
        driver.get("about:blank")
        started = time.monotonic()
        driver.get(ready["web"]["operate"])
        expected = f"{args.terminals} terminals"
        wait_for(lambda: driver.execute_script(
            "const c = document.getElementById('count');"
            "const t = document.querySelectorAll('[data-terminal] [data-line]');"
            "return c && c.textContent === arguments[0] && t.length > 0;", expected), timeout=120, what="the count")
        load = time.monotonic() - started
        tiles = driver.execute_script("return document.querySelectorAll('[data-terminal]').length")
        print(f"page shows the count and its first {tiles} tiles: {load:.3f} s (target < 2 s: {verdict(load < 2)})")

        wanted = f"t{args.terminals // 2:0{len(str(args.terminals))}d}"
        search = driver.find_element("css selector", "input[type=search]")
        started = time.monotonic()
        search.send_keys(wanted)
        wait_for(lambda: driver.execute_script(
            "const t = document.querySelectorAll('[data-terminal]');"
            "return t.length === 1 && t[0].dataset.terminal === arguments[0];", wanted), timeout=60, what="the filter")
        found = time.monotonic() - started
        print(f"filter finds {wanted}: {found:.3f} s (target < 0.5 s: {verdict(found < 0.5)})")
        search.clear()
        search.send_keys(" ")  # clear() alone says nothing to the page
        wait_for(lambda: driver.execute_script(
            "return document.getElementById('count').textContent === arguments[0]", expected), what="all again")

        changing = host.first(100)
        before_cpu = cpu_seconds(program.pid)
        started = time.monotonic()
        tick = 0
        while time.monotonic() - started < args.seconds:
            for conn in changing:
                try:
                    conn.send(b"\x1b[H%-20d" % tick)
                except BlockingIOError:
                    pass
            tick += 1
            time.sleep(max(0.0, started + tick * 0.1 - time.monotonic()))
        elapsed = time.monotonic() - started
        share = (cpu_seconds(program.pid) - before_cpu) / elapsed
        shown = driver.execute_script(
            "return document.querySelector('[data-terminal] [data-line=\"1\"]').textContent")
        print(f"program CPU while 100 displays change 10 times a second ({tick} rounds, first tile shows "
              f"{shown.strip()!r}): {share * 100:.1f}% of a core (target < 20%: {verdict(share < 0.2)})")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        if program is not None:
            program.terminate()
            try:
                program.wait(30)
            except subprocess.TimeoutExpired:
                program.kill()
        host.running = False
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
