"""A Robot in a process of its own that lives through one stall of its controller, for the
stall tests and the benchmark. The SDK holds the interpreter lock while get_obs waits, so
the controller is resumed from yet another process (or between calls), never from a thread
of this one. Prints one JSON line with what it measured; times are CLOCK_MONOTONIC seconds.

    python stall_client.py DOMAIN SIM_PID SECONDS   stop the controller, resume it SECONDS
                                                    later from another process while one
                                                    get_obs waits
    python stall_client.py DOMAIN SIM_PID whole     stop it for one whole get_obs (which
                                                    times out), resume it, then get_obs again
    python stall_client.py DOMAIN SIM_PID kill      kill it, get_obs while it is gone, start
                                                    a new one on the same domain, then
                                                    get_obs and finish
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import robot

# Sleeps, resumes the controller, and reports when it did so.
RESUMER = (
    "import os, signal, sys, time\n"
    "time.sleep(float(sys.argv[2]))\n"
    "os.kill(int(sys.argv[1]), signal.SIGCONT)\n"
    "print(time.monotonic(), flush=True)\n"
)


def silence(pid: int, sig: int) -> None:
    """Stops or kills the controller, then lets answers already on their way arrive: get_obs
    counts any answer taken after it starts as fresh, whichever request it answers, and the
    previous get_obs may have written more than one."""
    os.kill(pid, sig)
    time.sleep(0.2)


def timed(out: dict, name: str, call) -> None:
    """Runs call; records how long it took and the error it raised (None when it returned)."""
    t = time.monotonic()
    try:
        call()
        out[name + "_error"] = None
    except RuntimeError as e:
        out[name + "_error"] = str(e)
    out[name + "_call"] = time.monotonic() - t


def start_controller(domain: int, log: Path) -> subprocess.Popen:
    sim = subprocess.Popen([str(Path(sys.prefix) / "bin" / "tarvek-sim"), "--domain", str(domain)],
                           stdin=subprocess.PIPE, stdout=open(log, "wb"), stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 20
    while '"ready"' not in log.read_text():
        if time.monotonic() > deadline or sim.poll() is not None:
            raise RuntimeError("the new controller did not start")
        time.sleep(0.005)
    return sim


def killed_and_restarted(r: robot.Robot, domain: int, pid: int, out: dict) -> None:
    silence(pid, signal.SIGKILL)
    timed(out, "gone_get_obs", r.get_obs)
    with tempfile.TemporaryDirectory() as tmp:
        sim = start_controller(domain, Path(tmp) / "sim.jsonl")
        try:
            t = time.monotonic()
            r.get_obs()  # the same Robot, no wait for discovery first
            out["after_restart"] = time.monotonic() - t
            timed(out, "restarted_finish", r.finish)
            # The new controller saw user mode switched on and off again.
            time.sleep(0.2)
            lines = (Path(tmp) / "sim.jsonl").read_text().splitlines()
            out["restarted_modes"] = [
                e["enabled"] for e in map(json.loads, lines)
                if e.get("event") == "sample" and e.get("topic") == "user_mode"]
        finally:
            sim.terminate()
            sim.wait(timeout=10)


def main() -> None:
    domain, pid, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    out: dict = {"mode": mode}
    r = robot.Robot(domain)
    t = time.monotonic()
    r.get_obs()  # no wait for discovery first: the first call must reach the controller
    out["first_call"] = time.monotonic() - t
    for _ in range(20):
        r.get_obs()

    if mode == "kill":
        killed_and_restarted(r, domain, pid, out)
        print(json.dumps(out), flush=True)
        return
    if mode == "whole":
        silence(pid, signal.SIGSTOP)
        t = time.monotonic()
        try:
            r.get_obs()
            out["stalled_error"] = None
        except RuntimeError as e:
            out["stalled_error"] = str(e)
        out["stalled_call"] = time.monotonic() - t
        os.kill(pid, signal.SIGCONT)
        resumed = time.monotonic()
    else:
        silence(pid, signal.SIGSTOP)
        t = time.monotonic()
        resumer = subprocess.Popen([sys.executable, "-c", RESUMER, str(pid), mode],
                                   stdout=subprocess.PIPE, text=True)
        r.get_obs()
        out["stalled_call"] = time.monotonic() - t
        returned = time.monotonic()
        resumed = float(resumer.communicate(timeout=60)[0])
        out["after_resume"] = returned - resumed

    if mode == "whole":
        t = time.monotonic()
        r.get_obs()
        out["after_resume"] = time.monotonic() - resumed
        out["next_call"] = time.monotonic() - t
    # The controller answers as before.
    t = time.monotonic()
    r.get_obs()
    out["then"] = time.monotonic() - t
    r.finish()
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
