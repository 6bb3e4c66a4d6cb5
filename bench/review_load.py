#!/usr/bin/env python3
"""The review view's load as a user sees it, in headless Chromium.

Drives Chromium over its DevTools pipe (no extra packages), loads the review view ROUNDS
times with the browser cache off, and reports, in the page's own clock from navigation
start: when the first card appeared and when every card inside the first screen had its
thumbnail loaded. The first round is a cold start (new browser, nothing cached by the
server's reader either).

    bench/review_load.py URL [ROUNDS=5]       URL e.g. http://127.0.0.1:8080/#review
Prints one line: "first cards <ms> ms, thumbnails in view <ms> ms (median of N; first <ms>)".
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

PROBE = """(() => {
  const cards = [...document.querySelectorAll('#cards .card')];
  if (!cards.length) return null;
  const inView = cards.filter(c => c.getBoundingClientRect().top < innerHeight);
  const done = inView.every(c => c.querySelector('img.pic.loaded'));
  return {cards: cards.length, inView: inView.length, done, now: performance.now()};
})()"""


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="camwatch-review-")
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()
        os.set_inheritable(to_chrome_r, True)
        os.set_inheritable(from_chrome_w, True)

        def fds():  # the DevTools pipe is fd 3 (in) and fd 4 (out) in the browser
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        self.proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--remote-debugging-pipe", "--window-size=1280,800",
             "--user-data-dir=" + self.profile, "about:blank"],
            preexec_fn=fds, close_fds=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer = b""
        self.next_id = 0
        page = next(t for t in self.call("Target.getTargets")["targetInfos"]
                    if t["type"] == "page")
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": page["targetId"], "flatten": True})["sessionId"]
        self.call("Network.enable", session=True)
        self.call("Network.setCacheDisabled", {"cacheDisabled": True}, session=True)

    def call(self, method, params=None, session=False):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                chunk = os.read(self.from_chrome, 1 << 16)
                if not chunk:
                    raise RuntimeError("chromium closed its DevTools pipe")
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(method + ": " + json.dumps(reply["error"]))
                return reply.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           session=True)
        return result.get("result", {}).get("value")

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


def load(browser, url):
    browser.call("Page.navigate", {"url": "about:blank"}, session=True)
    browser.call("Page.navigate", {"url": url}, session=True)
    first = None
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        state = browser.evaluate(PROBE)
        if state and first is None:
            first = state["now"]
        if state and state["done"]:
            return first, state["now"], state["inView"]
        time.sleep(0.005)
    raise RuntimeError("the review view did not show its cards within 30 s")


def main():
    url = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    browser = Browser()
    try:
        results = [load(browser, url) for _ in range(rounds)]
    finally:
        browser.close()
    firsts = sorted(r[0] for r in results)
    thumbs = sorted(r[1] for r in results)
    print("first cards %.0f ms, thumbnails in view %.0f ms (%d cards; median of %d; first load "
          "%.0f / %.0f ms)" % (firsts[len(firsts) // 2], thumbs[len(thumbs) // 2], results[0][2],
                               rounds, results[0][0], results[0][1]))


if __name__ == "__main__":
    main()
