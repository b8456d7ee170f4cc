"""tarvek-record stopped a few milliseconds after a burst of samples, by SIGINT, SIGTERM or the
end of --duration: every sample of the burst that the controller received is in the file."""

from __future__ import annotations

import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import robot
from tarvek_record.record import POLL_S
from tarvek_record.runfile import decoded, load

# Queued samples that end the recorder's wait before its poll interval does; the burst stays
# below it, so that the wait ends on time.
BATCH = 4096
DURATION_S = 1.5
# Each idle round of the recorder's loop lasts its poll interval and about this much more.
ROUND_EXTRA_S = 0.0002


class Recorder:
    def __init__(self, path: Path, domain: int, *args: str):
        self.lines: list[str] = []
        self.proc = subprocess.Popen(
            [str(Path(sys.prefix) / "bin" / "tarvek-record"), "--domain", str(domain),
             "-o", str(path), *args], stderr=subprocess.PIPE, text=True)
        first = self.proc.stderr.readline()
        # The recorder's waits start here, one poll interval each (its duration too).
        self.started = self.last_line_at = time.monotonic()
        assert first.startswith("recording "), first
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in self.proc.stderr:
            self.last_line_at = time.monotonic()
            self.lines.append(line.rstrip("\n"))

    def wait_line(self, text: str, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.lines:
            assert self.proc.poll() is None and time.monotonic() < deadline, self.lines
            time.sleep(0.005)

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self._reader.join(timeout=10)
        self.proc.stderr.close()


@pytest.fixture
def start_recorder():
    recorders: list[Recorder] = []

    def start(*args, **kwargs) -> Recorder:
        recorders.append(Recorder(*args, **kwargs))
        return recorders[-1]

    yield start
    for rec in recorders:
        rec.close()


def sleep_until(t: float) -> None:
    while (left := t - time.monotonic()) > 0:
        time.sleep(min(left, 0.01) if left > 0.002 else 0)


def burst(r: robot.Robot, wait_ends: float) -> tuple[int, int]:
    """Actions numbered from 1: most of them during the recorder's wait that ends at
    `wait_ends`, so that it has a long batch to write, and a few more while it writes it.
    Returns how many of each."""
    i = 0
    sleep_until(wait_ends - 0.09)
    while time.monotonic() < wait_ends - 0.001 and i < BATCH - 200:
        i += 1
        r.do_action([float(i), 0.0, 0.0, 0.0])
    filled = i
    sleep_until(wait_ends + 0.002)
    while time.monotonic() < wait_ends + 0.004 or i == filled:
        i += 1
        r.do_action([float(i), 0.0, 0.0, 0.0])
    return filled, i - filled


def record_a_burst(start_recorder, r: robot.Robot, domain: int, path: Path, stop: str):
    """The actions the recorder wrote, or None when it had not matched the SDK in time."""
    rec = start_recorder(path, domain, *(["--duration", str(DURATION_S)] if stop == "duration" else []))
    rec.wait_line("user_action: 1 writer")
    time.sleep(0.3)  # and, most of the time, the writer has matched the recorder's reader
    r.do_action([-1.0, 0.0, 0.0, 0.0])
    if stop == "duration":
        wait_ends = rec.started + DURATION_S
    else:
        # The recorder reported its last match just before it began to wait again.
        rounds = int((time.monotonic() - rec.last_line_at) / POLL_S) + 2
        wait_ends = rec.last_line_at + rounds * (POLL_S + ROUND_EXTRA_S)
    filled, tail = burst(r, wait_ends)
    if stop != "duration":
        time.sleep(0.001)
        rec.proc.send_signal(getattr(signal, stop))
    assert rec.proc.wait(timeout=10) == 0
    print(f"{stop}: {filled} actions in the recorder's last wait, {tail} after it")
    recorded = {a["value"][0] for _, a in decoded(load(path), "user_action")}
    return (filled + tail, recorded) if -1.0 in recorded else None


@pytest.mark.parametrize("stop", ["SIGINT", "SIGTERM", "duration"])
def test_a_burst_just_before_the_stop_is_all_in_the_file(start_sim, start_recorder, domain,
                                                         state_dir, tmp_path, stop):
    sim = start_sim()
    r = robot.Robot(domain)
    r.set_gains([0.0] * 4, [0.0] * 4)  # the burst's targets move nothing
    r.do_action([0.0] * 4)
    for attempt in range(3):
        # A probe written before the burst shows that the writer had matched the recorder.
        start = sim.mark()
        result = record_a_burst(start_recorder, r, domain, tmp_path / f"run{attempt}.mcap", stop)
        if result is not None:
            break
    assert result is not None, "the recorder never matched the SDK's writer in time"
    last, recorded = result
    sim.wait_sample("user_action", start=start, value=[float(last), 0.0, 0.0, 0.0])
    received = [s["value"][0] for s in sim.samples("user_action", start) if s["value"][0] >= 1]
    missing = [i for i in received if i not in recorded]
    assert not missing, f"{len(missing)} of {len(received)} missing, from {missing[0]:.0f}"
    r.finish()
