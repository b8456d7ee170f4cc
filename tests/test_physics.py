"""The simulator's rigid-body backend, against the real simulator process: balancing under
the example's law, falling without control, torque control and its limits, the height map
over a bump, body velocity against the distance covered, and the rendered run."""

from __future__ import annotations

import importlib.util
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import robot

from conftest import ROOT, sim_executable

if sys.version_info < (3, 11):
    pytest.skip("MuJoCo's wheels need Python 3.11 or later", allow_module_level=True)

import tarvek_sim  # noqa: E402

if not tarvek_sim.plugin_path().exists():
    pytest.fail(f"the rigid-body backend is not installed at {tarvek_sim.plugin_path()}; "
                "run scripts/setup.sh", pytrace=False)

_spec = importlib.util.spec_from_file_location("balance_and_drive", ROOT / "examples" / "balance_and_drive.py")
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)

RATE = 200.0
FALLEN_DEG = 30.0


def tilt_deg(obs) -> float:
    return math.degrees(math.acos(max(-1.0, min(1.0, -obs["proj_grav"][2]))))


def connect(sim, gains):
    r = robot.Robot(sim.domain)
    for topic in ("user_mode", "user_action", "user_gains", "user_obs_request"):
        sim.wait_matched(topic)
    r.set_gains(*gains)
    sim.wait_sample("user_gains")
    return r


def example_gains(scale: float = 1.0):
    kp = [scale * example.KP_LEG] * 2 + [scale * example.KP_WHEEL] * 2
    kd = [scale * example.KD_LEG] * 2 + [0.0, 0.0]
    return kp, kd


def drive(r, seconds: float, speed=lambda t: 0.0, scale: float = 1.0, each=None):
    """Runs the example's balance law at RATE for `seconds` (released from the stand by the
    first observation); returns (time, obs, lean) per step."""
    kp, _ = example_gains(scale)
    law = example.BalanceLaw(scale * example.K_LEAN, scale * example.K_LEAN_RATE,
                             scale * example.K_SPEED, scale * example.K_YAW)
    log = []
    start = next_tick = time.monotonic()
    while next_tick < start + seconds:
        obs = r.get_obs()
        t = time.monotonic() - start
        torques, _, lean = law(obs, speed(t), 0.0)
        r.do_action(example.LEG_STANCE + example.wheel_targets(obs, torques, kp[2]))
        log.append((t, obs, lean))
        if each is not None:
            each(t)
        next_tick += 1.0 / RATE
        time.sleep(max(0.0, next_tick - time.monotonic()))
    return log


@pytest.fixture
def msim(start_sim, tmp_path):
    def start(*args):
        return start_sim("--physics", "mujoco", *args)

    return start


@pytest.mark.parametrize("scale", [1.0, 0.0], ids=["balance-law", "zero-gains"])
def test_stands_with_the_balance_law_and_falls_without(msim, scale):
    sim = msim()
    r = connect(sim, example_gains(scale))
    log = drive(r, 4.0, scale=scale)
    r.finish()
    fallen = [t for t, obs, lean in log if max(tilt_deg(obs), abs(math.degrees(lean))) > FALLEN_DEG]
    if scale == 0.0:
        assert fallen and fallen[0] < 3.0, "without control the robot must fall within 3 s"
        return
    assert not fallen
    settled = [(obs, lean) for t, obs, lean in log if t > 1.0]
    assert max(tilt_deg(obs) for obs, _ in settled) < 5.0
    assert all(abs(obs["proj_grav"][0]) < 0.1 and obs["proj_grav"][2] < -0.99 for obs, _ in settled)
    legs = log[-1][1]["dof_pos"][:2]
    assert legs == pytest.approx(example.LEG_STANCE, abs=0.05)
    # The physics thread keeps up with the wall clock, and says so.
    rtf = [e["real_time_factor"] for e in sim.poll() if e.get("event") == "physics"]
    assert rtf and max(rtf) > 0.5
    assert all(e["on_stand"] is False for e in sim.poll()[-3:] if e.get("event") == "physics")


@pytest.mark.parametrize(
    "action, expected",
    [
        ([0.0, 0.0, 4.0, -4.0], [0.0, 0.0, 4.0, -4.0]),
        ([100.0, -100.0, 50.0, -50.0], [36.0, -36.0, 17.0, -17.0]),
    ],
    ids=["within-limits", "clipped"],
)
def test_torque_control_applies_clipped_torques(msim, action, expected):
    sim = msim()
    r = connect(sim, ([1.0] * 4, [0.0] * 4))
    r.do_action(action, torque_ctrl=True)
    sim.wait_sample("user_action", torque_control=True)
    time.sleep(0.15)
    obs = r.get_obs()
    r.finish()
    assert obs["dof_tau"] == pytest.approx(expected, abs=1e-4)
    # A wheel turns the way its torque says (relative to its leg), against the ground.
    for wheel in (2, 3):
        if expected[wheel] != 0.0:
            assert math.copysign(1.0, obs["dof_vel"][wheel]) == math.copysign(1.0, expected[wheel])


def test_zero_torque_before_gains_and_outside_user_mode(msim):
    sim = msim()
    r = robot.Robot(sim.domain)
    for topic in ("user_mode", "user_obs_request"):
        sim.wait_matched(topic)
    obs = r.get_obs()  # user mode on, no gains yet
    time.sleep(0.1)
    assert r.get_obs()["dof_tau"] == [0.0] * 4
    r.set_gains([50.0] * 4, [1.0] * 4)
    r.do_action([1.0, -1.0, 0.0, 0.0])
    time.sleep(0.1)
    assert r.get_obs()["dof_tau"][:2] != [0.0, 0.0]
    r.finish()
    sim.wait_sample("user_mode", enabled=False)
    time.sleep(0.05)
    sim.send("publish_obs", wait=True)
    published = [e for e in sim.poll() if e.get("event") == "published" and e.get("topic") == "user_obs"]
    assert published[-1]["dof_tau"] == [0.0] * 4
    # Held on the stand until user mode came on; the first answer may already follow a step
    # or two after the release.
    assert obs["dof_pos"] == pytest.approx([0.0] * 4, abs=1e-6)


def test_height_map_over_a_bump_and_velocity_against_distance(msim, tmp_path):
    """Drives 2 m straight ahead over the first bump (1.0 to 1.4 m ahead of the start),
    then stops."""
    traj = tmp_path / "drive.traj"
    sim = msim("--record", str(traj))
    r = connect(sim, example_gains())

    def speed(t):
        return 0.5 * min(1.0, t) if t < 4.5 else max(0.0, 0.5 * (5.5 - t))

    next_map = [0.0]

    def sample_map(t):
        if t >= next_map[0]:
            sim.send("publish_obs", wait=False)
            next_map[0] += 0.1

    log = drive(r, 7.0, speed=speed, each=sample_map)
    r.finish()
    sim.send("status")  # also makes sure the last publish_obs was handled
    maps = [e["height_map"] for e in sim.poll() if e.get("event") == "published" and e.get("topic") == "user_obs"]
    spreads = [max(m) - min(m) for m in maps]
    assert len(maps) > 30
    assert spreads[0] < 0.005, "the start is flat"
    assert max(spreads) > 0.02, "the bump must show in the height map"
    assert all(abs(m[2] - 0.4) < 0.05 for m in maps), "under the body: the hips' height"

    # Body velocity integrated over the run against the distance the recording shows.
    travelled = 0.0
    for (t0, o0, _), (t1, o1, _) in zip(log, log[1:]):
        travelled += 0.5 * (o0["lin_vel"][0] + o1["lin_vel"][0]) * (t1 - t0)
    sim.close()
    rows = [list(map(float, line.split())) for line in traj.read_text().splitlines() if not line.startswith("#")]
    moved = math.hypot(rows[-1][1] - rows[0][1], rows[-1][2] - rows[0][2])
    assert moved > 1.5
    assert travelled == pytest.approx(moved, rel=0.1)


@pytest.mark.parametrize("output", ["frames", "run.mp4"])
def test_recorded_run_renders_to_frames_that_differ(msim, tmp_path, output):
    traj = tmp_path / "fall.traj"
    sim = msim("--record", str(traj))
    r = connect(sim, ([0.0] * 4, [0.0] * 4))
    r.get_obs()  # off the stand, uncontrolled: it falls
    time.sleep(2.0)
    r.finish()
    sim.close()
    out = tmp_path / output
    result = subprocess.run([sys.executable, "-m", "tarvek_sim.render", str(traj), str(out), "--fps", "5"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    if out.suffix == ".mp4":
        assert out.stat().st_size > 1000
        return
    from PIL import Image

    frames = sorted(out.glob("frame_*.png"))
    assert len(frames) >= 8
    pixels = {Image.open(f).tobytes() for f in frames}
    assert len(pixels) > len(frames) // 2


@pytest.mark.parametrize(
    "args, env, message",
    [
        ([], {"TARVEK_SIM_PLUGIN": "/nonexistent/libtarvek_sim_mujoco.so"}, "pip install"),
        (["--model", str(ROOT / "README.md")], {}, "cannot load"),
        (["--record", "/nonexistent/dir/run.traj"], {}, "cannot write"),
    ],
    ids=["plugin-missing", "bad-model", "bad-record-path"],
)
def test_backend_failures_are_reported(domain, args, env, message):
    result = subprocess.run([sim_executable(), "--domain", str(domain), "--physics", "mujoco", *args],
                            capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL,
                            env={**os.environ, **env})
    assert result.returncode == 1
    assert message in result.stdout
    assert '"ready"' not in result.stdout
