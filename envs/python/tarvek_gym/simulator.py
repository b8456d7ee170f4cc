"""The simulated controller as a policy test bench: one ``tarvek-sim`` process in lockstep
with episodes, on a DDS domain nobody else uses, that dies with the process that started it.

Shared by the Gymnasium environments and ``examples/evaluate.py``; needs nothing beyond the
SDK (no Gymnasium).
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import importlib.util
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import robot

# The simulator's six topics; a controller writes user_obs, a policy the others.
CONTROLLER_TOPIC = "user_obs"
# How long a passive probe listens for other participants on a domain. Announcements go out
# every 100 ms in the loopback configuration and answer a newcomer at once; the endpoints
# follow within milliseconds.
PROBE_SECONDS = 0.25
# Where a domain is picked automatically: the SDK's default domain first, then upwards.
AUTO_DOMAINS = range(1, 233)


def simulator_executable() -> str:
    beside = Path(sys.executable).parent / "tarvek-sim"
    if beside.exists():
        return str(beside)
    beside = Path(sys.prefix) / "bin" / "tarvek-sim"
    return str(beside) if beside.exists() else (shutil.which("tarvek-sim") or "tarvek-sim")


def use_loopback_if_unset() -> None:
    """Simulator and policy share this machine: point DDS at the loopback configuration of a
    checkout when nothing else was chosen, so that nothing leaves the machine."""
    if "CYCLONEDDS_URI" in os.environ:
        return
    for base in (Path.cwd(), Path(__file__).resolve().parents[3]):
        candidate = base / "config" / "cyclonedds-loopback.xml"
        if candidate.exists():
            os.environ["CYCLONEDDS_URI"] = f"file://{candidate}"
            return


def rigid_body_missing() -> str | None:
    """Why ``--physics mujoco`` cannot run here, or None when it can."""
    if sys.version_info < (3, 11):
        return f"MuJoCo has no build for CPython {sys.version_info.major}.{sys.version_info.minor} (3.11 or later)"
    if importlib.util.find_spec("mujoco") is None:
        return "MuJoCo is not installed (pip install 'tarvek-sdk[physics]')"
    sim_package = importlib.util.find_spec("tarvek_sim")
    if sim_package is None or not (Path(sim_package.origin).parent / "libtarvek_sim_mujoco.so").exists():
        return "this SDK was built without the simulator's MuJoCo backend"
    return None


def resolve_physics(physics: str) -> tuple[str, str | None]:
    """``auto`` is MuJoCo where it runs, the toy model otherwise (with a notice to print);
    ``mujoco`` where it cannot run is refused with what to do instead."""
    if physics not in ("auto", "mujoco", "toy"):
        raise ValueError(f"physics must be 'auto', 'mujoco' or 'toy', not {physics!r}")
    if physics == "toy":
        return "toy", None
    missing = rigid_body_missing()
    if missing is None:
        return "mujoco", None
    if physics == "mujoco":
        raise RuntimeError(f"--physics mujoco cannot run: {missing}; use --physics toy")
    return "toy", f"notice: {missing}: running the toy model instead (--physics toy)"


def derive_seed(*parts) -> int:
    """A 63-bit seed named by its parts, the same on every machine and Python."""
    digest = hashlib.sha256("/".join(str(p) for p in parts).encode()).digest()
    return int.from_bytes(digest[:8], "little") >> 1


# -- children that die with their parent ---------------------------------------------------

class _Spawner:
    """Starts child processes from one thread that lives as long as the process. The kernel
    signals a child whose parent *thread* ends, so a simulator started from a short-lived
    thread would otherwise die with that thread, long before its owner is done with it."""

    def __init__(self):
        self.pid = os.getpid()
        self._jobs: queue.SimpleQueue = queue.SimpleQueue()
        threading.Thread(target=self._run, name="tarvek-spawner", daemon=True).start()

    def _run(self):
        while True:
            future, args, kwargs = self._jobs.get()
            if future.set_running_or_notify_cancel():
                try:
                    future.set_result(subprocess.Popen(args, **kwargs))
                except BaseException as e:  # handed to the caller, who raises it
                    future.set_exception(e)

    def popen(self, args, **kwargs) -> subprocess.Popen:
        future: concurrent.futures.Future = concurrent.futures.Future()
        self._jobs.put((future, args, kwargs))
        return future.result()


_spawner: _Spawner | None = None
_spawner_lock = threading.Lock()


def popen_tied(args: list[str], **kwargs) -> subprocess.Popen:
    """Popen of a child that the kernel kills when this process dies, however it dies
    (SIGKILL included): ``setpriv --pdeathsig`` sets that before the child's program runs,
    so no Python runs between fork and exec in this process that has DDS threads."""
    global _spawner
    setpriv = shutil.which("setpriv")
    if setpriv:
        args = [setpriv, "--pdeathsig", "KILL", "--", *args]
    with _spawner_lock:
        if _spawner is None or _spawner.pid != os.getpid():  # a forked child has no thread
            _spawner = _Spawner()
        spawner = _spawner
    return spawner.popen(args, **kwargs)


# -- domains -------------------------------------------------------------------------------

def probe_domain_counts(domain: int, seconds: float = PROBE_SECONDS) -> dict[str, int]:
    """The most writers seen on each of the six topics of ``domain`` while listening for
    ``seconds``. Listens only: the probe's readers write nothing a controller or a policy
    would act on."""
    from tarvek_record import _tarvek_record

    probe = _tarvek_record.Recorder(domain)
    try:
        topics = [c[0] for c in probe.channels]
        counts = dict.fromkeys(topics, 0)
        deadline = time.monotonic() + seconds
        while True:
            for i, topic in enumerate(topics):
                counts[topic] = max(counts[topic], probe.matched_writers(i))
            if time.monotonic() >= deadline:
                return counts
            time.sleep(0.01)
    finally:
        probe.close()


def probe_domain(domain: int, seconds: float = PROBE_SECONDS) -> str | None:
    """What already uses ``domain`` ("a controller" or "another program"), or None."""
    counts = probe_domain_counts(domain, seconds)
    if counts.get(CONTROLLER_TOPIC):
        return "a controller"
    return "another program" if any(counts.values()) else None


class DomainLease:
    """A DDS domain held by this process: a name in the abstract socket namespace, which the
    kernel frees when the process ends (nothing on disk to clean up) and which is private to
    the network namespace, as the domain's DDS traffic is."""

    def __init__(self, domain: int, sock: socket.socket, skipped: list[str] | None = None):
        self.domain = domain
        self._sock = sock
        self.skipped = skipped or []  # the domains passed over by free(), and why

    @staticmethod
    def _claim(domain: int) -> socket.socket | None:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(f"\0tarvek-dds-domain-{domain}")
        except OSError:
            sock.close()
            return None
        return sock

    @classmethod
    def take(cls, domain: int, option: str = "--dds-domain") -> "DomainLease":
        """That domain, or an error naming it and the option that picks another."""
        if not 0 <= domain <= 232:
            raise ValueError(f"DDS domain {domain} is out of range (0 to 232)")
        sock = cls._claim(domain)
        if sock is None:
            raise RuntimeError(f"DDS domain {domain} is in use by another simulator started from Python "
                               f"on this machine: pick another with {option}")
        user = probe_domain(domain)
        if user is not None:
            sock.close()
            raise RuntimeError(f"{user} already answers on DDS domain {domain}: stop it, or pick another "
                               f"domain with {option}")
        return cls(domain, sock)

    @classmethod
    def free(cls, candidates=AUTO_DOMAINS) -> "DomainLease":
        """The first domain among ``candidates`` that no simulator of ours holds and no
        participant uses."""
        skipped = []
        for domain in candidates:
            sock = cls._claim(domain)
            if sock is None:
                continue
            user = probe_domain(domain)
            if user is None:
                return cls(domain, sock, skipped)
            skipped.append(f"DDS domain {domain}: {user} already answers there")
            sock.close()
        raise RuntimeError("no free DDS domain left to start a simulator on")

    def release(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None


# -- the simulator -------------------------------------------------------------------------

class Simulator:
    """tarvek-sim in lockstep with episodes. Its events go to an unnamed file, not a pipe:
    the SDK holds the interpreter while it waits for an answer, so a thread reading a pipe
    could fall behind, and a full pipe would stall the simulator in the middle of that wait."""

    def __init__(self, domain: int, sim_args: list[str]):
        self.domain = domain
        self._log = tempfile.TemporaryFile()
        self.proc = None
        try:
            self.proc = popen_tied(
                [simulator_executable(), "--domain", str(domain), "--lockstep", "--episodes",
                 "--service-mode", "off", *sim_args],
                stdin=subprocess.PIPE, stdout=self._log, stderr=self._log, text=True)
        except BaseException:
            self._log.close()
            raise
        self._pending = b""
        self._offset = 0
        self.episodes: list[dict] = []
        try:
            ready = self._wait(lambda e: e["event"] in ("ready", "error"), 10.0)
            if ready["event"] == "error":
                raise RuntimeError(f"tarvek-sim: {ready['message']}")
        except BaseException:
            self.close()
            raise

    def _events(self):
        # pread leaves the file offset alone: the simulator writes through the same open
        # file, and moving its offset would make it write over events not yet read.
        chunk = b""
        while block := os.pread(self._log.fileno(), 1 << 16, self._offset + len(chunk)):
            chunk += block
        self._offset += len(chunk)
        *lines, self._pending = (self._pending + chunk).split(b"\n")
        events = []
        for line in lines:
            line = line.strip()
            if line.startswith(b"{"):
                events.append(json.loads(line))
            elif line:  # a message on standard error
                events.append({"event": "stderr", "text": line.decode(errors="replace")})
        return events

    def _wait(self, pred, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for event in self._events():
                if event["event"] == "episode":
                    self.episodes.append(event)
                if pred(event):
                    return event
            if self.proc.poll() is not None:
                raise RuntimeError(f"tarvek-sim ended (status {self.proc.returncode})")
            if time.monotonic() > deadline:
                raise RuntimeError("no answer from tarvek-sim in time")
            time.sleep(0.0005)

    def status(self) -> dict:
        self.proc.stdin.write('{"cmd":"status"}\n')
        self.proc.stdin.flush()
        return self._wait(lambda e: e["event"] == "status", 10.0)

    def wait_connected(self, timeout: float = 10.0) -> None:
        """Until the simulator has matched exactly one peer on each of the six topics: the
        new Robot's, and no longer the last one's. A sample written before the simulator's
        reader knows its writer would be lost, and with it the run's repeatability; a second
        peer is another program's Robot, whose actions would mix with ours."""
        deadline = time.monotonic() + timeout
        while True:
            matched = self.status()["matched"]
            if all(count == 1 for count in matched.values()):
                return
            if time.monotonic() > deadline:
                if any(count > 1 for count in matched.values()):
                    raise RuntimeError(f"another program uses DDS domain {self.domain} (matched {matched})")
                raise RuntimeError(f"the simulator did not match the policy's Robot: {matched}")
            time.sleep(0.002)

    def episode(self, index: int, timeout: float = 10.0) -> dict:
        """The report of episode ``index`` (from 1)."""
        if len(self.episodes) < index:
            self._wait(lambda e: e["event"] == "episode" and e["index"] == index, timeout)
        return self.episodes[index - 1]

    def push(self, force: float, direction=(1.0, 0.0, 0.0), duration: float = 0.1) -> None:
        self.proc.stdin.write(json.dumps({"cmd": "push", "force": force, "direction": list(direction),
                                          "duration": duration}) + "\n")
        self.proc.stdin.flush()

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def close(self) -> None:
        """Ends the simulator (cleanly: its peers learn at once that it left). Idempotent."""
        proc, self.proc = self.proc, None
        if proc is not None:
            if proc.poll() is None:
                proc.send_signal(signal.SIGCONT)  # a stopped one could not act on SIGTERM
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            try:
                proc.stdin.close()
            except (BrokenPipeError, OSError):
                pass
            self.proc = proc  # keeps returncode readable
        if not self._log.closed:
            self._log.close()


def sim_arguments(physics: str, control_period: float, seed: int, randomize: bool,
                  push_every: float, push_force: float, push_duration: float) -> list[str]:
    """The simulator's options for one seeded run. Without randomisation the robot stays
    nominal (every range zero) but the seed still draws the pushes' directions."""
    args = ["--physics", physics, "--control-period", repr(control_period), "--randomize", str(seed)]
    if not randomize:
        args += ["--mass-range", "0", "--friction-range", "0", "--torque-range", "0", "--max-delay", "0"]
    if push_force > 0.0:
        args += ["--push-every", repr(push_every), "--push-force", repr(push_force),
                 "--push-duration", repr(push_duration)]
    return args


def connect(sim: Simulator, domain: int) -> robot.Robot:
    # An answer in lockstep is never lost, only slow on a busy machine; a request written
    # again meanwhile would only add a second answer to drain.
    r = robot.Robot(dds_domain_id=domain, wait_obs_timeout_ms=1000)
    try:
        sim.wait_connected()
    except BaseException:
        del r
        raise
    return r
