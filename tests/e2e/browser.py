"""Headless Chromium driven through chromedriver's W3C WebDriver protocol,
with nothing but the standard library."""

import base64
import json
import os
import socket
import subprocess
import time
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"
# Quiet on a closed network: no background connections of the browser's own.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1000,700"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Browser:
    def __init__(self, profile_dir):
        port = free_port()
        self.base = f"http://127.0.0.1:{port}"
        self.driver = subprocess.Popen([CHROMEDRIVER, f"--port={port}"], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        self.session = None
        try:
            self._wait_for_driver()
            options = {"binary": CHROMIUM, "args": FLAGS + [f"--user-data-dir={profile_dir}"]}
            capabilities = {"alwaysMatch": {"browserName": "chrome",
                                            "goog:chromeOptions": options}}
            session = self._call("POST", "/session", {"capabilities": capabilities})
            self.session = f"/session/{session['sessionId']}"
        except BaseException:
            self.close()
            raise

    def _wait_for_driver(self):
        deadline = time.monotonic() + 30
        while True:
            try:
                self._call("GET", "/status")
                return
            except (urllib.error.URLError, ConnectionError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return json.loads(response.read())["value"]
        except urllib.error.HTTPError as error:
            raise AssertionError(f"WebDriver {method} {path}: {error.read()[:300]!r}")

    def open(self, url):
        self._call("POST", self.session + "/url", {"url": url})

    def find(self, selector):
        found = self._call("POST", self.session + "/elements",
                           {"using": "css selector", "value": selector})
        return found[0][ELEMENT] if found else None

    def text(self, selector):
        element = self.find(selector)
        if element is None:
            return None
        return self._call("GET", f"{self.session}/element/{element}/text")

    def click(self, selector):
        element = self.find(selector)
        if element is None:
            raise AssertionError(f"no {selector} on the page")
        self._call("POST", f"{self.session}/element/{element}/click", {})

    def screenshot(self, path):
        with open(path, "wb") as file:
            file.write(base64.b64decode(self._call("GET", self.session + "/screenshot")))

    def close(self):
        try:
            if self.session:
                self._call("DELETE", self.session)
        finally:
            os.killpg(self.driver.pid, 9)
            self.driver.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
