"""Debian's headless Chromium, driven over its DevTools port: open a page, give it time,
take a screenshot. Software WebGL (SwiftShader), since the test machines have no GPU."""

from __future__ import annotations

import base64
import itertools
import json
import os
import shutil
import subprocess
import time
import urllib.request
from pathlib import Path


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    def __init__(self, profile: Path, width: int = 1600, height: int = 1000):
        import websocket  # websocket-client

        self.ws = None
        self.proc = None
        port_file = profile / "DevToolsActivePort"
        profile.mkdir(parents=True, exist_ok=True)
        self.log = profile.parent / f"{profile.name}.log"
        for attempt in range(2):  # a first start on a loaded machine now and then gives up
            port_file.unlink(missing_ok=True)  # one left by an earlier browser names its port
            log = open(self.log, "ab")
            self.proc = subprocess.Popen(
                [chromium(), "--headless=new", "--no-sandbox", "--disable-gpu-sandbox",
                 "--enable-unsafe-swiftshader", "--use-angle=swiftshader", "--ignore-gpu-blocklist",
                 "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                 "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
                 f"--user-data-dir={profile}", f"--window-size={width},{height}", "about:blank"],
                # Its singleton socket lives in TMPDIR, whose path must fit a socket address.
                stdout=subprocess.DEVNULL, stderr=log, env={**os.environ, "TMPDIR": "/tmp"})
            log.close()
            deadline = time.monotonic() + 30
            while self.proc.poll() is None and time.monotonic() < deadline:
                if port_file.exists() and len(port_file.read_text().split()) == 2:
                    break
                time.sleep(0.1)
            else:
                self.close()
                if attempt:
                    raise RuntimeError(f"chromium did not open its DevTools port: {self.log.read_text()[-2000:]}")
                continue
            break
        port = int(port_file.read_text().split()[0])
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as reply:
            pages = json.load(reply)
        page = next(p for p in pages if p.get("type") == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=60,
                                              suppress_origin=True)
        self._ids = itertools.count(1)

    def call(self, method: str, **params) -> dict:
        msg_id = next(self._ids)
        self.ws.send(json.dumps({"id": msg_id, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == msg_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open(self, url: str) -> None:
        self.call("Page.enable")
        self.call("Page.navigate", url=url)

    def evaluate(self, expression: str):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def screenshot(self, path: Path) -> Path:
        data = self.call("Page.captureScreenshot", format="png")["data"]
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(base64.b64decode(data))
        return path

    def close(self) -> None:
        if self.ws is not None:
            self.ws.close()
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
