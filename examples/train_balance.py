"""Learn to balance from scratch on tarvek/Balance-v0 with CMA-ES (the `cma` package from
PyPI: pure Python and NumPy, no GPU stack), and plot the learning curve.

    python examples/train_balance.py [--generations 12] [--seconds 3] [--plot curve.png]

The policy is linear in four features of the observation (the body's pitch from projected
gravity, its pitch rate, the wheels' speed and the speed error) and drives both wheels with
the same torque, legs straight: four numbers to find, starting from zero (which falls at
once). Every candidate runs one episode of the environment; the score is the episode's
return. With MuJoCo (CPython 3.11 or later) it learns to stay upright within a few
generations; on the toy model, which cannot fall, only the speed tracking improves.
"""

from __future__ import annotations

import argparse
import sys

import cma
import gymnasium as gym
import numpy as np

import tarvek_gym  # noqa: F401  (registers tarvek/Balance-v0)


def features(obs: np.ndarray) -> np.ndarray:
    # pitch (~ projected gravity x), pitch rate, mean wheel speed, speed error; each scaled
    # to about 1 at the edge of what an upright robot shows, so one step size suits all four
    return np.array([4.0 * obs[9], 0.5 * obs[7], 0.05 * (obs[4] + obs[5]), obs[12] - obs[15]])


def episode_return(env, theta: np.ndarray) -> float:
    obs, _ = env.reset()
    total, done = 0.0, False
    while not done:
        wheel = float(np.clip(theta @ features(obs), -1.0, 1.0))
        obs, reward, terminated, truncated, _ = env.step(np.array([0.0, 0.0, wheel, wheel], dtype=np.float32))
        total += reward
        done = terminated or truncated
    return total


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--generations", type=int, default=12)
    ap.add_argument("--seconds", type=float, default=3.0, help="simulated seconds per episode")
    ap.add_argument("--plot", help="write the learning curve to this PNG")
    args = ap.parse_args()

    env = gym.make("tarvek/Balance-v0", episode_seconds=args.seconds, max_speed=0.3, max_turn=0.0)
    env.reset(seed=0)  # seeds the simulator's draws and the commands of every later episode
    es = cma.CMAEvolutionStrategy(np.zeros(4), 1.0, {"popsize": 8, "seed": 1, "verbose": -9})
    best, mean = [], []
    try:
        for generation in range(args.generations):
            candidates = es.ask()
            returns = [episode_return(env, np.asarray(c)) for c in candidates]
            es.tell(candidates, [-r for r in returns])  # CMA-ES minimises
            best.append(max(returns))
            mean.append(float(np.mean(returns)))
            print(f"generation {generation + 1:2d}: best return {best[-1]:7.1f}, mean {mean[-1]:7.1f} "
                  f"(of at most {round(args.seconds / 0.005)})", flush=True)
    finally:
        env.close()
    print(f"gains found: {np.round(es.result.xbest, 2).tolist()}")
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(6, 3.2), dpi=100)
        x = np.arange(1, len(best) + 1)
        ax.plot(x, best, marker="o", label="best of the generation")
        ax.plot(x, mean, marker=".", label="mean of the generation")
        ax.axhline(round(args.seconds / 0.005), color="grey", linestyle=":", label="upright for the whole episode")
        ax.set_xlabel("generation (8 episodes each)")
        ax.set_ylabel("episode return")
        ax.set_title("CMA-ES on tarvek/Balance-v0 (MuJoCo), from zero gains")
        ax.legend(loc="lower right", fontsize=8)
        fig.tight_layout()
        fig.savefig(args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
