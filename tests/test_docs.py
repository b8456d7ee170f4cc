"""The shell and Python blocks of README.md and docs/*.md, run as a newcomer pastes them.

pytest-codeblocks reads the blocks and the marks written above them in the Markdown
(`<!--pytest.mark.skip(reason="...")-->`); the blocks are run here rather than by its own
items, because those run Python in this interpreter and wait on shell commands without end,
and a doc's blocks need what a reader has: a simulator left running by an earlier block, a
Ctrl-C, a network nobody else is on. How to write a block for this is in the module's marks:

- `background(ready=TEXT, stop=SIGNAL)`: a long-running command (a simulator, a recorder).
  It is left running for the doc's later blocks; it passes once TEXT is in its output (after
  1 s without TEXT) while it still runs, or if it ended with status 0. It is stopped with
  SIGNAL (default SIGINT, the reader's Ctrl-C) when the doc ends or at `after_ctrl_c`, and
  must end by it.
- `after_ctrl_c`: before this block, the newest background block still running is stopped.
- `sim(*args)`: a simulator the doc does not show, `tarvek-sim *args`, for this block only.
- `timeout(N)`: this block may take N s (default 60).

Each block runs in a fresh shell (`bash -e`) or interpreter, in a scratch directory laid out
as the checkout (its top-level entries linked, `build/` empty), with `.venv/bin` off PATH as
in a new terminal, HOME and TMPDIR scratch directories too. Each doc runs in a network
namespace of its own, so the domain ids it shows are its own and its blocks hear nobody
else. A block selected without the doc's earlier ones (-k, --last-failed) runs them first.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from pytest_codeblocks.main import extract_from_file

from conftest import LOOPBACK_URI, ROOT

VENV = ROOT / ".venv"
if Path(sys.prefix).resolve() != VENV.resolve():
    # The docs name .venv/ in their commands; another environment would run those, not its own.
    pytest.skip("the docs' commands use .venv/: they run in the suite on .venv", allow_module_level=True)

DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUN = {"sh": "shell", "bash": "shell", "python": "python"}
DEFAULT_TIMEOUT = 60.0
STOP_WAIT = 10.0


class Block:
    """A runnable block of a doc, with the marks written above it."""

    def __init__(self, doc: str, kind: str, parsed):
        self.doc, self.kind, self.code, self.lineno = doc, kind, parsed.code, parsed.lineno
        self.expected_output = parsed.expected_output
        self.marks = [eval(text, {"pytest": pytest, "sys": sys}) for text in parsed.marks]
        for i, m in enumerate(self.marks):
            if m.name in ("skip", "skipif"):
                if not m.kwargs.get("reason"):
                    raise ValueError(f"{self}: a skipped block must give its reason")
                # The report's skip lines name the block, not this file.
                self.marks[i] = getattr(pytest.mark, m.name)(
                    *m.args, **{**m.kwargs, "reason": f"{self}: {m.kwargs['reason']}"})
        self.mark = {m.mark.name: m.mark for m in self.marks}

    @property
    def skipped(self) -> bool:
        skipif = self.mark.get("skipif")
        return "skip" in self.mark or bool(skipif and skipif.args and skipif.args[0])

    def __repr__(self) -> str:
        return f"{self.doc}:{self.lineno}"


def _doc_blocks() -> dict[str, list[Block]]:
    found = {}
    for path in DOCS:
        doc = path.relative_to(ROOT).as_posix()
        found[doc] = []
        for parsed in extract_from_file(path):
            words = (parsed.syntax or "").split()
            if words and words[0] in RUN:
                found[doc].append(Block(doc, RUN[words[0]], parsed))
    return found


DOC_BLOCKS = _doc_blocks()


def _block_env(base: Path) -> dict[str, str]:
    env = dict(os.environ)
    venv_bins = {str(VENV / "bin"), str(Path(sys.prefix) / "bin")}
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep) if p not in venv_bins)
    for name in ("VIRTUAL_ENV", "PYTHONPATH", "ROS_DOMAIN_ID", "TMP", "TEMP", "TEMPDIR"):
        env.pop(name, None)
    env["CYCLONEDDS_URI"] = LOOPBACK_URI
    env["TMPDIR"] = str(base / "tmp")
    # `~/...` in a block lands in the scratch area; pyenv's interpreters stay found.
    env.setdefault("PYENV_ROOT", str(Path.home() / ".pyenv"))
    env["HOME"] = str(base / "home")
    return env


class Namespace:
    """A network namespace with only loopback, held by a sleeping process; commands enter it
    with nsenter. Without the privilege to make one, commands run in the current network."""

    def __init__(self):
        self.prefix: list[str] = []
        self._holder = None
        user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
        try:
            holder = subprocess.Popen(
                ["unshare", *user, "--net", "sh", "-c", "ip link set lo up && echo up && exec sleep 100000"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError:
            return
        if holder.stdout.readline().strip() != b"up":
            holder.wait()
            return
        self._holder = holder
        entered = [f"--user=/proc/{holder.pid}/ns/user", "--preserve-credentials"] if user else []
        self.prefix = ["nsenter", *entered, f"--net=/proc/{holder.pid}/ns/net", "--"]

    def close(self):
        if self._holder is not None:
            self._holder.kill()
            self._holder.wait()
            self._holder.stdout.close()


class Process:
    """One command of a block, in a process group of its own (the reader's terminal), its
    output in a file."""

    def __init__(self, argv: list[str], log: Path, cwd: Path, env: dict[str, str], stop: str = "SIGINT"):
        self.log = log
        self.stop_signal = signal.Signals[stop]
        with open(log, "wb") as out:
            self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT, start_new_session=True)

    def output(self) -> str:
        return self.log.read_text(errors="replace")

    def wait_for(self, text: str | None, timeout: float) -> None:
        """Waits until text is in the output (for `timeout` without text) or the process ends."""
        deadline = time.monotonic() + (timeout if text else 1.0)
        while time.monotonic() < deadline and self.proc.poll() is None:
            if text and text in self.output():
                return
            time.sleep(0.02)
        if text and self.proc.poll() is None:
            pytest.fail(f"no {text!r} in its output within {timeout:.0f} s:\n{self.output()}", pytrace=False)

    def signal_group(self, signum: int) -> None:
        try:
            os.killpg(self.proc.pid, signum)
        except ProcessLookupError:
            pass

    def stop(self) -> None:
        """Its stop signal to the group (SIGINT: Ctrl-C in its terminal); it must end by it."""
        self.signal_group(self.stop_signal)
        try:
            status = self.proc.wait(timeout=STOP_WAIT)
        except subprocess.TimeoutExpired:
            status = None
        finally:
            self.kill()
        if status not in (0, -self.stop_signal, 128 + self.stop_signal):
            pytest.fail(f"after {self.stop_signal.name}, status {status}:\n{self.output()}", pytrace=False)

    def kill(self) -> None:
        self.signal_group(signal.SIGKILL)
        self.proc.wait()


class DocRun:
    """The state one doc's blocks share: scratch checkout, network, background commands."""

    def __init__(self, base: Path):
        self.dir = base / "checkout"
        self.aux = base / "aux"
        for d in (self.dir, self.aux, base / "tmp", base / "home"):
            d.mkdir()
        for entry in ROOT.iterdir():
            if entry.name not in (".git", "build"):
                (self.dir / entry.name).symlink_to(entry)
        (self.dir / "build").mkdir()
        self.env = _block_env(base)
        self.net = Namespace()
        self.background: list[Process] = []
        self.done: set[int] = set()

    def start(self, kind: str, code: str, name: str, stop: str = "SIGINT") -> Process:
        script = self.aux / f"{name}.{'py' if kind == 'python' else 'sh'}"
        script.write_text(code)
        argv = [sys.executable, str(script)] if kind == "python" else ["bash", "-e", str(script)]
        return Process(self.net.prefix + argv, self.aux / f"{name}.log", self.dir, self.env, stop)

    def start_sim(self, args: tuple[str, ...], name: str) -> Process:
        sim = Process(self.net.prefix + [str(VENV / "bin" / "tarvek-sim"), *args],
                      self.aux / f"{name}.log", self.dir, self.env)
        sim.wait_for('"ready"', timeout=10)
        if sim.proc.poll() is not None:
            pytest.fail(f"the simulator for this block ended:\n{sim.output()}", pytrace=False)
        return sim

    def ctrl_c_newest(self) -> None:
        while self.background:
            newest = self.background.pop()
            if newest.proc.poll() is None:
                newest.stop()
                return
        pytest.fail("after_ctrl_c, but no background block is running", pytrace=False)

    def close(self) -> str | None:
        """Stops what still runs, newest first; returns how the first that would not stop failed."""
        failures = []
        while self.background:
            p = self.background.pop()
            try:
                p.stop()
            except pytest.fail.Exception as e:
                failures.append(str(e))
        self.net.close()
        return failures[0] if failures else None


@pytest.fixture(scope="session")
def doc_runs(tmp_path_factory):
    """One DocRun at a time: the previous doc's commands end when the next doc begins."""
    runs: dict[str, DocRun] = {}

    def get(doc: str) -> DocRun:
        if doc not in runs:
            for other in runs.values():
                other.close()
            runs.clear()
            runs[doc] = DocRun(tmp_path_factory.mktemp(Path(doc).stem))
        return runs[doc]

    yield get
    for run in runs.values():
        run.close()


def _fail(block: Block, what: str, output: str):
    pytest.fail(f"{block}: {what}\n--- block ---\n{block.code}--- output ---\n{output}", pytrace=False)


def _execute(run: DocRun, block: Block, started: float) -> None:
    run.done.add(block.lineno)
    name = f"line{block.lineno}"
    if "after_ctrl_c" in block.mark:
        run.ctrl_c_newest()

    background = block.mark.get("background")
    if background:
        proc = run.start(block.kind, block.code, name, background.kwargs.get("stop", "SIGINT"))
        run.background.append(proc)
        proc.wait_for(background.kwargs.get("ready"), timeout=10)
        if proc.proc.poll() not in (None, 0):
            _fail(block, f"ended with status {proc.proc.returncode}", proc.output())
        return

    timeout = float(block.mark["timeout"].args[0]) if "timeout" in block.mark else DEFAULT_TIMEOUT
    sim = run.start_sim(block.mark["sim"].args, f"{name}-sim") if "sim" in block.mark else None
    proc = run.start(block.kind, block.code, name)
    try:
        # Within the test's own time-out, so that a hanging block is reported with its output.
        status = proc.proc.wait(timeout=max(1.0, timeout - 1 - (time.monotonic() - started)))
    except subprocess.TimeoutExpired:
        _fail(block, f"still running after {timeout:.0f} s", proc.output())
    finally:
        # What the block left running in its terminal ends with it.
        proc.kill()
        if sim is not None:
            sim.stop()
    if status != 0:
        _fail(block, f"ended with status {status}", proc.output())
    if block.expected_output is not None and proc.output() != block.expected_output:
        _fail(block, "printed other than the doc shows", proc.output())


@pytest.mark.parametrize(
    "block", [pytest.param(b, marks=b.marks, id=repr(b)) for blocks in DOC_BLOCKS.values() for b in blocks])
def test_block(block, doc_runs):
    started = time.monotonic()
    run = doc_runs(block.doc)
    blocks = DOC_BLOCKS[block.doc]
    # A block relies on the doc's earlier ones (a simulator left running, a file written):
    # those not run in this session (-k, --last-failed) run first.
    for earlier in blocks[:blocks.index(block)]:
        if earlier.lineno not in run.done and not earlier.skipped:
            _execute(run, earlier, time.monotonic())
    _execute(run, block, started)
    if block is blocks[-1]:
        # The doc's end, where the reader stops what still runs: it must stop as the doc says.
        failure = run.close()
        if failure is not None:
            pytest.fail(failure, pytrace=False)
