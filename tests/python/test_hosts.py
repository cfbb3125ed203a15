"""Two live hosts (one session each) behind haproxy on loopback, started by scripts/live-hosts.sh and driven by
headless Chromium: two browsers land on different hosts, each page's offer on the host that served the page, a
third browser is refused, and a slot freed by a page that leaves goes to the next browser.

usage: test_hosts.py BUNDLE
  env: LE_CORE_LIB (the library), W2V_ONNX (the shared audio encoder)
Exits 77 (skipped) only when the browser cannot start.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_live import SKIP, Browser, check, run_logged, write_wav  # noqa: E402

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def free_ports(n):
    """A first port with the n - 1 after it free as well."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            first = s.getsockname()[1]
        if first + n > 65535:
            continue
        try:
            for p in range(first, first + n):
                with socket.socket() as s:
                    s.bind(("127.0.0.1", p))
            return first
        except OSError:
            continue
    raise RuntimeError("no %d free ports in a row" % n)


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class Fleet:
    def __init__(self, bundle, hosts, log):
        self.port = free_ports(hosts + 1)
        self.url = "http://127.0.0.1:%d/" % self.port
        self.hosts = hosts
        self.proc = subprocess.Popen(["bash", os.path.join(REPO, "scripts", "live-hosts.sh"), "--hosts", str(hosts),
                                      "--port", str(self.port), bundle, "--max-sessions", "1"],
                                     stdout=log, stderr=log, start_new_session=True)
        deadline = time.time() + 180
        while True:
            try:
                if get(self.url + "status")[0] == 200:
                    return
            except OSError:
                pass
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("the hosts did not start")
            time.sleep(0.3)

    def sessions(self):
        """Sessions on each host, asked directly."""
        return [json.loads(get("http://127.0.0.1:%d/status" % (self.port + i))[1])["sessions"]
                for i in range(1, self.hosts + 1)]

    def wait(self, want, timeout=30):
        deadline = time.time() + timeout
        while self.sessions() != want:
            if time.time() > deadline:
                raise AssertionError("sessions per host %s, expected %s" % (self.sessions(), want))
            time.sleep(0.1)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)


def host_of(browser):
    """The host haproxy pinned the browser to (its cookie), as an index into Fleet.sessions()."""
    cookie = next(c["value"] for c in browser.d.get_cookies() if c["name"] == "LE_HOST")
    return int(cookie[1:]) - 1


def main_test(bundle, tmp, log):
    silence = os.path.join(tmp, "silence.wav")
    write_wav(silence, np.zeros(48000 * 2))
    try:
        a = Browser(silence, tmp, "a")
    except Exception as e:  # no browser here: the only reason to skip
        print("SKIP live_hosts: headless Chromium could not start (%s)" % str(e).splitlines()[0])
        return SKIP
    browsers = [a]
    fleet = Fleet(bundle, 2, log)
    try:
        b = Browser(silence, tmp, "b")
        browsers.append(b)
        a.open(fleet.url)
        b.open(fleet.url)
        ha, hb = host_of(a), host_of(b)
        check(ha != hb and fleet.sessions() == [1, 1],
              "two browsers hold one session each on different hosts (pinned to h%d, h%d)" % (ha + 1, hb + 1))

        # Both hosts full: once haproxy has seen it, a third browser gets the refusal page, and so does an offer.
        time.sleep(1.5)
        c = Browser(silence, tmp, "c")
        browsers.append(c)
        c.d.get(fleet.url)
        text = c.js("const e = document.getElementById('refused'); return e ? e.textContent : '';")
        check("every host" in text, "a third browser gets the refusal page: " + text)
        req = urllib.request.Request(fleet.url + "offer", b'{"sdp": "v=0", "type": "offer"}',
                                     {"Content-Type": "application/json"})
        try:
            urllib.request.urlopen(req, timeout=10)
            status = 200
        except urllib.error.HTTPError as e:
            status = e.code
        check(status == 503 and fleet.sessions() == [1, 1], "an offer with every host full is refused (%d)" % status)

        # A leaves: its goodbye reaches its own (drained) host, and the next browser gets the slot there.
        a.d.get("about:blank")
        want = [0, 1] if ha == 0 else [1, 0]
        fleet.wait(want)
        log.flush()
        with open(log.name) as f:
            left = [line for line in f if line.startswith("[h%d]" % (ha + 1)) and "(the page left)" in line]
        check(len(left) == 1, "the leaving page's goodbye reached its host: %s" % left)
        time.sleep(1.5)  # haproxy sees the free slot at its next check
        # A page pinned to a full host (a reload after a refusal) is served by the free one and pinned there.
        req = urllib.request.Request(fleet.url, headers={"Cookie": "LE_HOST=h%d" % (hb + 1)})
        with urllib.request.urlopen(req, timeout=10) as r:
            moved = r.status, r.headers.get("Set-Cookie", "")
        check(moved[0] == 200 and moved[1].startswith("LE_HOST=h%d;" % (ha + 1)),
              "a page pinned to the full host is served by the free one: %s" % (moved,))
        c.open(fleet.url)
        check(host_of(c) == ha and fleet.sessions() == [1, 1], "a new browser gets the freed slot on h%d" % (ha + 1))
        print("figure: sessions per host behind haproxy: %s" % fleet.sessions())
    finally:
        for x in browsers:
            x.quit()
        fleet.stop()
    return 0


def main():
    return run_logged(main_test, sys.argv[1], "hosts")


if __name__ == "__main__":
    sys.exit(main())
