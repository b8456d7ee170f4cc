"""Prints what the Gymnasium environment costs and how evaluation scales (asserts nothing).

    .venv/bin/python bench/gym_bench.py [--steps 2000] [--episodes 200] [--seconds 10]
                                        [--workers 1,2,4] [--no-ray] [--skip-evaluation]

1. Steps per second of one environment instance against the raw lockstep loop
   (get_obs / do_action with the same action), MuJoCo and the toy model: the difference is
   what the environment adds; and the policy process's CPU time per step in both, the
   steadier figure on a loaded machine.
2. What a reset costs: the next episode with the Robot kept for the instance's lifetime,
   with a Robot per episode, and a seeded reset (a fresh simulator).
3. examples/evaluate.py over N episodes with 1, 2, 4 worker processes and a local Ray:
   wall time, speed-up over one worker and the success rate, which must be the same in
   every row (so must every episode: checked and printed).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
os.environ.setdefault("CYCLONEDDS_URI", f"file://{ROOT / 'config' / 'cyclonedds-loopback.xml'}")
sys.path.insert(0, str(ROOT / "examples"))

import numpy as np  # noqa: E402

import balance_and_drive as example  # noqa: E402
from tarvek_gym import env as gym_env  # noqa: E402
from tarvek_gym.simulator import DomainLease, Simulator, connect, rigid_body_missing, sim_arguments  # noqa: E402

LAW = example.BalanceLaw(example.K_LEAN, example.K_LEAN_RATE, example.K_SPEED, example.K_YAW)


def balance_action(obs: dict) -> np.ndarray:
    """The example's balance law as an action of the environment (legs straight)."""
    torques, _, _ = LAW(obs, 0.0, 0.0)
    return np.array([0.0, 0.0, torques[0] / gym_env.WHEEL_TORQUE_LIMIT, torques[1] / gym_env.WHEEL_TORQUE_LIMIT],
                    dtype=np.float32)


def raw_steps_per_second(physics: str, steps: int) -> float:
    lease = DomainLease.free()
    sim = Simulator(lease.domain, sim_arguments(physics, 0.005, 1, True, 2.0, 0.0, 0.1))
    try:
        r = connect(sim, lease.domain)
        r.set_gains([gym_env.KP_LEG] * 2 + [gym_env.KP_WHEEL] * 2, [gym_env.KD_LEG] * 2 + [0.0, 0.0])
        obs = r.get_obs()
        start, cpu = time.perf_counter(), time.process_time()
        for _ in range(steps):
            a = balance_action(obs)
            targets = [gym_env.LEG_RANGE * float(a[0]), gym_env.LEG_RANGE * float(a[1])] + \
                [obs["dof_pos"][2 + i] + gym_env.WHEEL_TORQUE_LIMIT * float(a[2 + i]) / gym_env.KP_WHEEL
                 for i in range(2)]
            r.do_action(targets)
            obs = r.get_obs()
        rate = steps / (time.perf_counter() - start), (time.process_time() - cpu) / steps
        r.finish()
        del r
    finally:
        sim.close()
        lease.release()
    return rate


def env_steps_per_second(physics: str, steps: int) -> float:
    env = gym_env.BalanceEnv(physics=physics, episode_seconds=steps * 0.005 + 1.0, max_speed=0.0, max_turn=0.0)
    try:
        env.reset(seed=1)
        start, cpu = time.perf_counter(), time.process_time()
        for _ in range(steps):
            # The raw observation is what the balance law reads; the step builds the vector too.
            env.step(balance_action(env._raw))
        return steps / (time.perf_counter() - start), (time.process_time() - cpu) / steps
    finally:
        env.close()


def reset_costs(physics: str, resets: int = 10) -> dict[str, float]:
    out = {}
    for label, per_episode in (("next episode, one Robot", False), ("next episode, Robot per episode", True)):
        env = gym_env.BalanceEnv(physics=physics, robot_per_episode=per_episode)
        try:
            env.reset(seed=1)
            start = time.perf_counter()
            for _ in range(resets):
                env.step(env.action_space.sample() * 0)
                env.reset()
            out[label] = (time.perf_counter() - start) / resets
        finally:
            env.close()
    env = gym_env.BalanceEnv(physics=physics)
    try:
        env.reset(seed=1)
        start = time.perf_counter()
        for seed in range(resets):
            env.reset(seed=seed)
        out["seeded reset (fresh simulator)"] = (time.perf_counter() - start) / resets
    finally:
        env.close()
    return out


def run_evaluation(where: list[str], episodes: int, seconds: float) -> tuple[float, list[dict], str]:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "results.json"
        start = time.monotonic()
        result = subprocess.run([sys.executable, str(ROOT / "examples" / "evaluate.py"), "--episodes", str(episodes),
                                 "--seconds", str(seconds), "--results", str(out), *where],
                                capture_output=True, text=True)
        wall = time.monotonic() - start
        if result.returncode != 0:
            raise SystemExit(f"evaluate.py {' '.join(where)} failed:\n{result.stderr}")
        results = [{k: v for k, v in e.items() if k not in ("loop_wall", "domain")} for e in json.loads(out.read_text())]
    rate = next(line for line in result.stdout.splitlines() if line.startswith("success rate"))
    return wall, results, rate.split(": ", 1)[1]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--steps", type=int, default=2000)
    ap.add_argument("--episodes", type=int, default=200)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--workers", default="1,2,4")
    ap.add_argument("--no-ray", action="store_true")
    ap.add_argument("--skip-evaluation", action="store_true")
    args = ap.parse_args()

    backends = ["toy"] + ([] if rigid_body_missing() else ["mujoco"])
    print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"\nsteps per second, one instance, {args.steps} steps of 5 ms, the example's balance law, "
          f"alternated 5 times (median); and the policy process's CPU time per step, which the "
          f"machine's load hardly moves:")
    print(f"{'backend':8s} {'raw lockstep':>14s} {'environment':>14s} {'overhead':>9s}   "
          f"{'CPU raw':>9s} {'CPU env':>9s} {'overhead':>9s}")
    for physics in backends:
        # Alternated: the machine is shared, and a neighbour's burst would otherwise land on
        # one side only.
        raws, envs = [], []
        for _ in range(5):
            raws.append(raw_steps_per_second(physics, args.steps))
            envs.append(env_steps_per_second(physics, args.steps))
        raw_cpu, env_cpu = sorted(c for _, c in raws)[2], sorted(c for _, c in envs)[2]
        raw, env = sorted(r for r, _ in raws)[2], sorted(r for r, _ in envs)[2]
        print(f"{physics:8s} {raw:12.0f}/s {env:12.0f}/s {100.0 * (raw / env - 1.0):8.1f}%   "
              f"{raw_cpu * 1e6:7.1f}us {env_cpu * 1e6:7.1f}us {100.0 * (env_cpu / raw_cpu - 1.0):8.1f}%", flush=True)

    print("\nwhat a reset costs (mean of 10):")
    for physics in backends:
        for label, seconds in reset_costs(physics).items():
            print(f"  {physics:7s} {label:34s} {seconds * 1e3:7.1f} ms", flush=True)

    if args.skip_evaluation:
        return 0
    print(f"\nevaluate.py: {args.episodes} episodes x {args.seconds:g} s (default pushes and randomisation, seed 1)")
    rows = [([f"--workers={w}"], f"{w} worker{'s' if w != '1' else ''}") for w in args.workers.split(",")]
    if not args.no_ray:
        rows.append((["--ray", "local"], "Ray, local"))
    print(f"{'where':14s} {'wall':>8s} {'speed-up':>9s}  success rate")
    base = reference = None
    for where, label in rows:
        wall, results, rate = run_evaluation(where, args.episodes, args.seconds)
        base = base or wall
        reference = reference or results
        same = "same episodes" if results == reference else "EPISODES DIFFER"
        print(f"{label:14s} {wall:7.1f}s {base / wall:8.2f}x  {rate}  ({same})", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
