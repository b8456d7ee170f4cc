"""The simulator as a policy test bench: lockstep time, episodes, pushes and seeded
randomisation, against the real simulator process and the example's balancing policy."""

from __future__ import annotations

import importlib.util
import math
import subprocess
import sys
import time

import pytest

import robot

from conftest import ROOT, sim_executable

_spec = importlib.util.spec_from_file_location("balance_and_drive", ROOT / "examples" / "balance_and_drive.py")
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)


def _has_rigid_body() -> bool:
    if sys.version_info < (3, 11) or importlib.util.find_spec("mujoco") is None:
        return False
    import tarvek_sim

    return tarvek_sim.plugin_path().exists()


MUJOCO = pytest.param("mujoco", marks=pytest.mark.skipif(not _has_rigid_body(),
                                                         reason="needs mujoco-core and the rigid-body backend"))
BACKENDS = ["toy", MUJOCO]
PERIOD = 0.005
# Toy wheel: inertia and viscous friction of its joint.
WHEEL_INERTIA, WHEEL_FRICTION = 0.02, 0.05


def lockstep_robot(sim, gains):
    # Answers in lockstep are never lost; a long wait keeps the SDK from asking twice.
    r = robot.Robot(sim.domain, wait_obs_timeout_ms=1000)
    # Matched to this Robot and no longer to the last one: nothing it writes can be lost.
    deadline = time.monotonic() + 10.0
    while True:
        mark = sim.mark()
        sim.send("status")
        status = sim.wait_for(lambda e: e.get("event") == "status", start=mark)
        if all(count == 1 for count in status["matched"].values()):
            break
        assert time.monotonic() < deadline, status
        time.sleep(0.01)
    r.set_gains(*gains)
    return r


def balance(r, steps: int) -> list[dict]:
    kp = [example.KP_LEG] * 2 + [example.KP_WHEEL] * 2
    law = example.BalanceLaw(example.K_LEAN, example.K_LEAN_RATE, example.K_SPEED, example.K_YAW)
    log = []
    for _ in range(steps):
        obs = r.get_obs()
        torques, _, _ = law(obs, 0.0, 0.0)
        r.do_action(example.LEG_STANCE + example.wheel_targets(obs, torques, kp[2]))
        log.append(obs)
    return log


EXAMPLE_GAINS = ([example.KP_LEG] * 2 + [example.KP_WHEEL] * 2, [example.KD_LEG] * 2 + [0.0, 0.0])


@pytest.mark.parametrize("physics", BACKENDS)
def test_a_seed_repeats_its_trajectory_bit_for_bit_and_another_seed_does_not(start_sim, tmp_path, physics):
    runs = []
    for run, seed in enumerate([7, 7, 8]):
        record = tmp_path / f"run{run}.traj"
        args = ["--physics", physics, "--lockstep", "--episodes", "--randomize", str(seed),
                "--push-every", "0.5", "--push-force", "30"]
        if physics == "mujoco":
            args += ["--record", str(record)]
        sim = start_sim(*args)
        r = lockstep_robot(sim, EXAMPLE_GAINS)
        log = balance(r, 300)
        r.finish()
        del r
        episode = sim.wait_for(lambda e: e.get("event") == "episode")
        sim.close()
        runs.append((log, record.read_text() if physics == "mujoco" else None, episode))
    (first, first_qpos, first_episode), (again, again_qpos, again_episode), (other, other_qpos, _) = runs
    assert again == first
    assert again_qpos == first_qpos
    assert {k: again_episode[k] for k in ("sim_time", "largest_tilt", "pushes", "draws")} == \
        {k: first_episode[k] for k in ("sim_time", "largest_tilt", "pushes", "draws")}
    assert first_episode["pushes"] == 3
    assert other != first
    if physics == "mujoco":
        assert len(first_qpos.splitlines()) > 50
        assert other_qpos != first_qpos


@pytest.mark.parametrize("period", [0.005, 0.01])
def test_an_answer_carries_the_state_after_every_action_before_it(start_sim, period):
    sim = start_sim("--lockstep", "--control-period", str(period))
    r = lockstep_robot(sim, ([1.0] * 4, [0.0] * 4))
    tau = 1.0

    def wheel_speed(t):  # the wheel's equation of motion, solved exactly
        return tau / WHEEL_FRICTION * (1.0 - math.exp(-WHEEL_FRICTION * t / WHEEL_INERTIA))

    for periods in (1, 2):
        r.do_action([0.0, 0.0, tau, 0.0], torque_ctrl=True)
        obs = r.get_obs()
        # Explicit integration in 1 ms steps stays within a few parts in a thousand of it.
        assert obs["dof_vel"][2] == pytest.approx(wheel_speed(periods * period), rel=5e-3)
        assert obs["dof_vel"][3] == 0.0
        # Without an action time stands still, and a second call is answered all the same.
        assert r.get_obs() == obs
    r.finish()


@pytest.mark.parametrize("physics, clock", [("toy", "--lockstep"), (MUJOCO.values[0], "--lockstep"),
                                            (MUJOCO.values[0], "real-time")],
                         ids=["toy-lockstep", "mujoco-lockstep", "mujoco-real-time"])
def test_each_robot_object_is_an_episode_that_starts_on_the_stand(start_sim, physics, clock):
    if physics == "mujoco" and not _has_rigid_body():
        pytest.skip("needs mujoco-core and the rigid-body backend")
    lockstep = clock == "--lockstep"
    sim = start_sim("--physics", physics, "--episodes", *([clock] if lockstep else []))
    firsts = []
    steps = [20, 40, 60]
    for n in steps:
        r = lockstep_robot(sim, ([0.0] * 4, [0.0] * 4))
        firsts.append(r.get_obs())
        for _ in range(n):
            r.do_action([3.0, 3.0, 1.0, -1.0], torque_ctrl=True)
            if not lockstep:
                time.sleep(PERIOD)
        assert r.get_obs()["dof_pos"] != firsts[-1]["dof_pos"]
        r.finish()
        del r
    if lockstep:
        assert firsts[1] == firsts[0] and firsts[2] == firsts[0]
    for first in firsts:  # in real time the first answer may follow a step or two
        assert first["dof_pos"] == pytest.approx([0.0] * 4, abs=1e-3)
        assert first["proj_grav"] == pytest.approx(firsts[0]["proj_grav"], abs=1e-3)
    episodes = []
    for index in (1, 2, 3):
        episodes.append(sim.wait_for(lambda e, i=index: e.get("event") == "episode" and e["index"] == i))
    if lockstep:  # finish() repeats the last action: one more control period
        assert [e["sim_time"] for e in episodes] == pytest.approx([(n + 1) * PERIOD for n in steps])
    for e in episodes:
        assert e["draws"] == {"mass": 1.0, "friction": 1.0, "torque_limit": 1.0, "answer_delay": 0.0}
        assert e["fallen"] == (e["largest_tilt"] >= 30.0)
        assert e["largest_tilt"] > 0.0


@pytest.mark.parametrize("force, upright", [(40.0, True), (300.0, False)], ids=["weak", "strong"])
def test_a_strong_push_knocks_the_example_policy_over_and_a_weak_one_does_not(domain, force, upright):
    if not _has_rigid_body():
        pytest.skip("needs mujoco-core and the rigid-body backend")
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "evaluate.py"), "--episodes", "1", "--seconds", "2",
         "--no-randomize", "--push-every", "1", "--push-force", str(force), "--dds-domain", str(domain)],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"success rate: {1 if upright else 0}/1" in result.stdout
    assert "real-time factor" in result.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--randomize", "3"], "--randomize draws per episode: it needs --episodes"),
        (["--push-force", "50"], "--push-force needs --push-every"),
        (["--lockstep", "--control-period", "0.0025"], "--control-period must be a whole number of physics steps"),
    ],
    ids=["randomize-without-episodes", "push-force-without-period", "partial-physics-step"],
)
def test_policy_testing_options_that_cannot_work_are_refused(domain, args, message):
    result = subprocess.run([sim_executable(), "--domain", str(domain), *args], capture_output=True, text=True,
                            timeout=30, stdin=subprocess.DEVNULL)
    assert result.returncode != 0
    assert message in result.stdout + result.stderr
    assert '"ready"' not in result.stdout
