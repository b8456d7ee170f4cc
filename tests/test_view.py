"""tarvek-view in a real browser against the simulated controller, and our recordings as
Rerun decodes them. Rerun binds every address unless told, so these run only where the
suite runs: in a network namespace of its own."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

if os.environ.get("TARVEK_SANITIZED"):
    # The sanitizer runtime preloaded into every child would land in Rerun's and Chromium's
    # programs, which are not built for it; nothing of ours in this file is native.
    pytest.skip("Rerun and Chromium under the sanitizers' preload", allow_module_level=True)
rr = pytest.importorskip("rerun", reason="rerun-sdk (the [view] extra) needs CPython 3.11 or later")
psutil = pytest.importorskip("psutil")

import robot  # noqa: E402
from browser import Browser, chromium  # noqa: E402
from conftest import ROOT  # noqa: E402
from tarvek_record.runfile import decoded, load  # noqa: E402
from tarvek_record.schemas import SCHEMAS  # noqa: E402

BIN = Path(sys.prefix) / "bin"
ARTEFACTS = ROOT / "build" / "test-artifacts"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_line(path: Path, pattern: str, proc: subprocess.Popen, timeout: float = 60.0) -> re.Match:
    deadline = time.monotonic() + timeout
    while True:
        m = re.search(pattern, path.read_text(), re.M)
        if m:
            return m
        if proc.poll() is not None or time.monotonic() > deadline:
            raise AssertionError(f"no {pattern!r} (exit {proc.poll()}): {path.read_text()[-3000:]}")
        time.sleep(0.05)


def drive(domain: int, stop: threading.Event) -> None:
    """A policy at about 200 Hz: gains, a swaying leg target, observations."""
    r = robot.Robot(domain)
    r.set_gains([20, 20, 6, 6], [0.5, 0.5, 0.6, 0.6])
    t0 = time.monotonic()
    while not stop.is_set():
        t = time.monotonic() - t0
        obs = r.get_obs()
        sway = 0.3 * (1 if int(t) % 2 else -1)
        r.do_action([0.35 + sway, 0.35 - sway, obs["dof_pos"][2] + 0.2, obs["dof_pos"][3] + 0.2])
        time.sleep(0.005)
    r.finish()


def listening_addresses(pid: int) -> set[str]:
    procs = [psutil.Process(pid)] + psutil.Process(pid).children(recursive=True)
    out = set()
    for p in procs:
        for c in p.net_connections(kind="inet"):
            if c.status == psutil.CONN_LISTEN:
                out.add(c.laddr.ip)
    return out


def pixel_variety(png: Path) -> tuple[int, float]:
    """Distinct colours, and the share of pixels that differ from the most common one."""
    from PIL import Image

    img = Image.open(png).convert("RGB")
    colors = img.getcolors(maxcolors=1 << 24)
    background = max(colors)[0]
    return len(colors), 1 - background / (img.width * img.height)


@pytest.mark.skipif(chromium() is None, reason="needs Debian's chromium (scripts/setup.sh installs it)")
def test_the_web_view_shows_the_running_robot_and_records_every_sample(start_sim, domain, state_dir, tmp_path):
    sim = start_sim("--trace-obs")
    grpc_port, web_port = free_port(), free_port()
    log, out = tmp_path / "view.log", tmp_path / "view.mcap"
    with open(log, "wb") as f:
        view = subprocess.Popen([str(BIN / "tarvek-view"), "--web", "--domain", str(domain), "-o", str(out),
                                 "--grpc-port", str(grpc_port), "--web-port", str(web_port)],
                                stdout=f, stderr=subprocess.STDOUT,
                                env={**os.environ, "XDG_CONFIG_HOME": str(tmp_path / "config")})
    stop = threading.Event()
    policy = None
    browser = None
    try:
        url = wait_line(log, r"^open (http://\S+)", view).group(1)
        assert url.startswith(f"http://127.0.0.1:{web_port}/")
        # Nothing it started listens beyond loopback.
        assert listening_addresses(view.pid) == {"127.0.0.1"}
        wait_line(log, r"^user_obs: 1 writer", view)
        wait_line(log, r"^user_command: 1 writer", view)
        sim.send("gamepad", mode="demo", rate=100)
        policy = threading.Thread(target=drive, args=(domain, stop))
        policy.start()
        browser = Browser(tmp_path / "chromium")
        browser.open(url)
        # The viewer's WebAssembly compiles and renders in software: give it real time, and
        # look until the plots hold many colours (the loading screen has a handful).
        shot = ARTEFACTS / "live-view.png"
        deadline = time.monotonic() + 90
        while True:
            time.sleep(5)
            browser.screenshot(shot)
            colors, busy = pixel_variety(shot)
            if (colors > 2000 and busy > 0.1) or time.monotonic() > deadline:
                break
        assert colors > 2000 and busy > 0.1, f"only the loading screen? {colors} colours, {busy:.0%} drawn ({shot})"
        assert "Rerun" in (browser.evaluate("document.title") or "")
        # The viewer it started has Rerun's usage analytics off.
        import json

        analytics = json.loads((tmp_path / "config" / "tarvek-sdk" / "rerun" / "analytics.json").read_text())
        assert analytics["analytics_enabled"] is False
    finally:
        stop.set()
        if policy is not None:
            policy.join(timeout=30)
        if browser is not None:
            browser.close()
        sim.send("gamepad", mode="none")
        time.sleep(0.3)
        view.send_signal(signal.SIGINT)
        view.wait(timeout=30)
    assert view.returncode == 0, log.read_text()
    assert re.search(r"frames shown", log.read_text())

    # Frames may be dropped for display; the file has every sample the controller saw and sent.
    run = load(out)
    assert run.complete
    published = [e for e in sim.poll() if e.get("event") == "published"]
    expected = {**{t: len(sim.samples(t)) for t in ("user_mode", "user_action", "user_gains", "user_obs_request")},
                "user_obs": sum(e["topic"] == "user_obs" for e in published),
                "user_command": sum(e["topic"] == "user_command" for e in published)}
    recorded = {t: len(run.topic(t)) for t in expected}
    # A keep-last 1 writer does not resend what a busy controller missed (the browser renders
    # in software beside it); the recorder may have such requests, never fewer.
    assert recorded.pop("user_obs_request") >= expected.pop("user_obs_request")
    assert recorded == expected
    assert expected["user_obs"] > 100


def test_rerun_decodes_every_topic_of_a_recording_into_its_fields(start_sim, domain, fresh_ros_domain,
                                                                  state_dir, tmp_path):
    sim = start_sim("--ros-domain", str(fresh_ros_domain))
    out, log = tmp_path / "run.mcap", tmp_path / "rec.log"
    with open(log, "wb") as f:
        rec = subprocess.Popen([str(BIN / "tarvek-record"), "--domain", str(domain), "--ros-domain",
                                str(fresh_ros_domain), "-o", str(out)], stdout=f, stderr=subprocess.STDOUT)
    try:
        wait_line(log, r"^rr/dynamic_param_configReply: 1 writer", rec)
        wait_line(log, r"^user_obs: 1 writer", rec)
        r = robot.Robot(domain)
        for topic in ("user_mode", "user_action", "user_obs_request"):
            wait_line(log, rf"^{topic}: 1 writer", rec)
        r.set_gains([20, 20, 6, 6], [0.5, 0.5, 0.6, 0.6])
        for _ in range(5):
            r.get_obs()
            r.do_action([0.35, 0.35, 0, 0])
        r.finish()
        sim.send("publish_command", values=[0.5, -1, 0, 0.25, 1, -1, 1, 0])
        # A new client's first request can come before the recorder has matched it; the
        # later ones are recorded.
        subprocess.run([sys.executable, "-c", f"import joystick\nfor _ in range(3): joystick.Joystick("
                        f"dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})"],
                       env={**os.environ, "TMPDIR": str(state_dir)}, check=True, timeout=60)
        time.sleep(0.3)
    finally:
        rec.send_signal(signal.SIGINT)
        rec.wait(timeout=30)
    run = load(out)
    counts = {t: len(run.topic(t)) for t in SCHEMAS}
    assert all(counts.values()), counts

    rrd = tmp_path / "run.rrd"
    subprocess.run([sys.executable, "-m", "rerun_cli", "--bind", "127.0.0.1", str(out), "--save", str(rrd)],
                   check=True, timeout=120,
                   capture_output=True)
    from rerun.chunk import RrdReader

    # Each topic an entity, each message a row holding its fields, in log time order.
    rows: dict[str, list[tuple[int, dict]]] = {}
    for chunk in RrdReader(rrd).stream():
        if chunk.is_static:
            continue
        batch = chunk.to_record_batch()
        [column] = [n for n in batch.schema.names if n.endswith(":message")]
        times = batch.column("message_log_time").cast("int64").to_pylist()
        for t, cell in zip(times, batch.column(column).to_pylist()):
            rows.setdefault(chunk.entity_path.lstrip("/"), []).extend((t, m) for m in cell)
    theirs = {t: [m for _, m in sorted(v, key=lambda x: x[0])] for t, v in rows.items()}
    ours = {t: [m for _, m in decoded(run, t)] for t in SCHEMAS}
    assert theirs == ours
