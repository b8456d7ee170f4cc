"""The Gymnasium environment: the field's own checkers, seeded repeatability, vector
environments in spawned processes, and no simulator outliving its owner."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

import tarvek_gym  # noqa: E402
from tarvek_gym.env import BalanceEnv  # noqa: E402

from conftest import _domain_cycle  # noqa: E402


def gone(pid: int, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(") ")[1][0] == "Z":  # ended, not yet reaped by its parent
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("made", [False, True], ids=["class", "gymnasium.make"])
def test_the_field_s_checker_passes(domain, made):
    from gymnasium.utils.env_checker import check_env

    kwargs = dict(physics="toy", episode_seconds=0.5)
    # Through make, the checker makes a second instance beside the first: that one takes a
    # free domain of its own.
    env = gym.make(tarvek_gym.ENV_ID, **kwargs) if made else BalanceEnv(dds_domain=domain, **kwargs)
    try:
        check_env(env.unwrapped if made else env, skip_render_check=True)
        if made:  # the wrappers make adds (order enforcing, passive checker) stay quiet too
            env.reset(seed=3)
            env.step(env.action_space.sample())
            with pytest.raises(ValueError, match="action must be 4 finite numbers"):
                env.step(np.array([0.0, np.nan, 0.0, 0.0], dtype=np.float32))
    finally:
        env.close()
        env.close()  # twice is harmless


def rollout(env, seed: int, steps: int = 150):
    actions = np.random.default_rng(0).uniform(-0.3, 0.3, size=(steps, 4)).astype(np.float32)
    obs, _ = env.reset(seed=seed)
    trace = [obs]
    for a in actions:
        obs, reward, terminated, truncated, _ = env.step(a)
        trace.append(np.append(obs, reward))
        if terminated or truncated:
            trace.append(env.reset()[0])  # the next episode of the same simulator
    return trace


def test_a_seed_repeats_its_trajectory_bit_for_bit_in_another_instance_and_another_seed_does_not():
    kwargs = dict(physics="auto", push_force=40.0, push_every=0.3, episode_seconds=0.5)
    first, second = BalanceEnv(dds_domain=next(_domain_cycle), **kwargs), BalanceEnv(dds_domain=next(_domain_cycle), **kwargs)
    try:
        a, b, c = rollout(first, 11), rollout(second, 11), rollout(first, 12)
    finally:
        first.close()
        second.close()
    assert len(a) == len(b) and all(np.array_equal(x, y) for x, y in zip(a, b))
    assert len(a) > 150  # the episode was truncated and the next one started
    assert not all(np.array_equal(x, y) for x, y in zip(a, c))


def test_a_vector_of_spawned_instances_steps_and_leaves_no_simulator():
    from gymnasium.vector import AsyncVectorEnv

    fns = [lambda d=next(_domain_cycle): BalanceEnv(physics="toy", dds_domain=d, episode_seconds=0.1)
           for _ in range(2)]
    envs = AsyncVectorEnv(fns, context="spawn")
    try:
        pids = envs.get_attr("simulator_pid")
        assert all(p is None for p in pids)  # a simulator starts with the first reset
        obs, _ = envs.reset(seed=5)
        assert obs.shape == (2, 17)
        for _ in range(30):  # past the 20-step truncation: the vector resets on its own
            obs, rewards, terminated, truncated, _ = envs.step(envs.action_space.sample())
        pids = envs.get_attr("simulator_pid")
        assert len(set(pids)) == 2 and all(p is not None for p in pids)
        assert not np.array_equal(obs[0], obs[1])  # two seeds, two commands
    finally:
        envs.close()
    assert all(gone(pid) for pid in pids)


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM], ids=["SIGKILL", "SIGTERM"])
def test_the_simulator_dies_with_the_process_that_owns_it(domain, how):
    owner = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time, tarvek_gym.env as e
        env = e.BalanceEnv(physics="toy", dds_domain={domain})
        env.reset(seed=1)
        print(env.simulator_pid, flush=True)
        time.sleep(60)
        """)], stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        pid = int(owner.stdout.readline())
        assert not gone(pid, timeout=0.2)
        owner.send_signal(how)
        owner.wait(timeout=10)
        assert gone(pid)
    finally:
        owner.kill()
        owner.wait()
        owner.stdout.close()
