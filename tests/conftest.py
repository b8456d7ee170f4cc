"""Shared fixtures: the loopback-only DDS configuration, a fresh domain id per test, and the
simulated controller as a real separate process whose JSON-lines events tests wait on."""

from __future__ import annotations

import itertools
import json
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
LOOPBACK_URI = f"file://{ROOT / 'config' / 'cyclonedds-loopback.xml'}"

# Every participant this process creates (Robot, Joystick, the simulator) stays on loopback.
os.environ["CYCLONEDDS_URI"] = LOOPBACK_URI

# Cyclone derives ports from the domain id, so ids stay small; tests run one at a time, so
# walking a shuffled range gives each test a domain nobody else uses while it runs.
# TARVEK_TEST_DOMAIN_SLOT="k/n" keeps to the k-th of n equal shares of every range, so that
# n suites can run side by side on one machine without hearing each other.
_slot, _slots = (int(x) for x in os.environ.get("TARVEK_TEST_DOMAIN_SLOT", "0/1").split("/"))


def _share(lo: int, hi: int) -> list[int]:
    ids = list(range(lo, hi))
    width = len(ids) // _slots
    return ids[_slot * width:(_slot + 1) * width]


_DOMAINS = _share(2, 100)
random.shuffle(_DOMAINS)
_domain_cycle = itertools.cycle(_DOMAINS)
# The ROS 2 context is process-wide: every Joystick built in this process joins the domain
# of the first one, so in-process tests share one ROS 2 domain outside the DDS range.
# Tests that need a fresh context run their Joystick in a process of its own.
SESSION_ROS_DOMAIN = random.choice(_share(200, 230))
_ROS_DOMAINS = _share(100, 200)
_ros_cycle = itertools.cycle(random.sample(_ROS_DOMAINS, len(_ROS_DOMAINS)))


def sim_executable() -> str:
    exe = Path(sys.prefix) / "bin" / "tarvek-sim"
    if not exe.exists():
        pytest.fail(f"simulated controller not installed at {exe}; run scripts/setup.sh")
    return str(exe)


@pytest.fixture
def domain() -> int:
    return next(_domain_cycle)


@pytest.fixture
def fresh_ros_domain() -> int:
    """A ROS 2 domain for a test whose Joystick runs in a process of its own."""
    return next(_ros_cycle)


@pytest.fixture
def state_dir(tmp_path, monkeypatch) -> Path:
    """A private temporary directory for the runtime state file of this test."""
    d = tmp_path / "tmpdir"
    d.mkdir()
    for var in ("TMP", "TEMP", "TEMPDIR"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("TMPDIR", str(d))
    return d


class Sim:
    """One simulated controller process. Its events go to a file rather than a pipe, so a
    test that blocks the interpreter (the SDK holds the GIL while it waits) never stalls
    the simulator on a full pipe."""

    def __init__(self, domain: int, log: Path, args: list[str], env: dict[str, str]):
        self.domain = domain
        self.log_path = log
        self._pending = b""
        self.events: list[dict] = []
        self._log = open(log, "wb")
        try:
            self.proc = subprocess.Popen(
                [sim_executable(), "--domain", str(domain), *args],
                stdin=subprocess.PIPE,
                stdout=self._log,
                stderr=subprocess.STDOUT,
                env=env,
            )
        except BaseException:
            self._log.close()
            raise
        self._reader = open(log, "rb")
        # The fixture only learns of a simulator that started; one that did not must not
        # leave its process, pipe or files behind.
        try:
            self.wait_for(lambda e: e.get("event") == "ready", timeout=10)
        except BaseException:
            self.close()
            raise

    # -- events -------------------------------------------------------------------------
    def poll(self) -> list[dict]:
        chunk = self._reader.read()
        if chunk:
            self._pending += chunk
            *lines, self._pending = self._pending.split(b"\n")
            for line in lines:
                line = line.strip()
                if not line:
                    continue
                try:
                    self.events.append(json.loads(line))
                except json.JSONDecodeError:
                    self.events.append({"event": "unparsed", "text": line.decode(errors="replace")})
        return self.events

    def wait_for(self, pred, timeout: float = 5.0, start: int = 0) -> dict:
        """Returns the first event at index >= start that satisfies pred."""
        deadline = time.monotonic() + timeout
        while True:
            for e in self.poll()[start:]:
                if pred(e):
                    return e
            if self.proc.poll() is not None:
                raise AssertionError(f"simulator exited with {self.proc.returncode}: {self.tail()}")
            if time.monotonic() >= deadline:
                raise AssertionError(f"no matching simulator event within {timeout} s: {self.tail()}")
            time.sleep(0.005)

    def mark(self) -> int:
        """Index after the events seen so far, to look only at what comes next."""
        return len(self.poll())

    def samples(self, topic: str, start: int = 0) -> list[dict]:
        return [
            e for e in self.poll()[start:] if e.get("event") == "sample" and e.get("topic") == topic
        ]

    def wait_sample(self, topic: str, start: int = 0, timeout: float = 5.0, **fields) -> dict:
        return self.wait_for(
            lambda e: e.get("event") == "sample"
            and e.get("topic") == topic
            and all(e.get(k) == v for k, v in fields.items()),
            timeout=timeout,
            start=start,
        )

    def wait_matched(self, topic: str, count: int = 1, timeout: float = 5.0) -> None:
        """Waits until the simulator's endpoint on `topic` has `count` matched peers."""

        def matched(e):
            return e.get("event") == "matched" and e.get("topic") == topic and e.get("count") == count

        if self._current_matched(topic) == count:
            return
        self.wait_for(matched, timeout=timeout)

    def _current_matched(self, topic: str):
        counts = [e["count"] for e in self.poll() if e.get("event") == "matched" and e.get("topic") == topic]
        return counts[-1] if counts else 0

    def tail(self, n: int = 15) -> str:
        return "\n".join(json.dumps(e) for e in self.poll()[-n:])

    # -- commands -----------------------------------------------------------------------
    def send(self, cmd: str, wait: bool = True, **fields) -> None:
        start = self.mark()
        self.proc.stdin.write((json.dumps({"cmd": cmd, **fields}) + "\n").encode())
        self.proc.stdin.flush()
        if wait:
            self.wait_for(lambda e: e.get("event") == "ok" and e.get("cmd") == cmd, start=start)

    def stop(self) -> None:
        self.proc.send_signal(signal.SIGSTOP)

    def cont(self) -> None:
        self.proc.send_signal(signal.SIGCONT)

    def close(self) -> None:
        # A clean exit tells peers at once that its participants are gone; a kill would leave
        # them in this process's discovery data until their leases expire.
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.proc.wait(timeout=10)
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        self._log.close()
        self._reader.close()


@pytest.fixture
def start_sim(tmp_path, domain):
    """Starts simulators on demand (default: this test's domain); all are killed afterwards."""
    sims: list[Sim] = []

    def start(*args: str, sim_domain: int | None = None, env: dict[str, str] | None = None) -> Sim:
        d = domain if sim_domain is None else sim_domain
        full_env = {**os.environ, **(env or {})}
        sim = Sim(d, tmp_path / f"sim{len(sims)}.jsonl", list(args), full_env)
        sims.append(sim)
        return sim

    yield start
    for sim in sims:
        sim.close()


@pytest.fixture
def sim(start_sim) -> Sim:
    return start_sim("--trace-obs")


@pytest.fixture
def jsim(start_sim) -> Sim:
    """A simulated controller that also serves the configuration service on the ROS 2
    domain of this process's Joystick objects."""
    return start_sim("--ros-domain", str(SESSION_ROS_DOMAIN))
