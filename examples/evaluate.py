"""Evaluate the balancing policy of balance_and_drive.py over many episodes against the
simulator in lockstep, with random pushes and a randomised robot in every episode, on
worker processes of this machine or on a Ray cluster.

Prints each episode and then the success rate, the wall time, the simulated time and the
real-time factor.

    python examples/evaluate.py [--episodes 20] [--seconds 10] [--physics auto|mujoco|toy]
                                [--seed 1] [--push-every 2] [--push-force 75]
                                [--no-randomize] [--robot-per-episode] [--workers N]
                                [--batch 10] [--ray ADDRESS|local] [--dds-domain D]
                                [--results FILE]

The episodes are cut into batches of --batch; each batch runs in a simulator of its own
(tarvek-sim --lockstep --episodes), started for it with a seed drawn from --seed and the
batch's number. The batches, their seeds and so every episode's result depend on --seed
alone, not on how many workers run them or where: the same seed gives the same episodes
with 1 worker, 8 workers or on Ray. Every switch of user mode to on starts an episode on
the stand: one Robot runs a batch, finish() ending each episode and the next get_obs
starting the next (--robot-per-episode: a Robot object per episode, as separate runs of a
deployment script would). Simulated time advances by one control period per action, so
the loop runs as fast as the two processes allow. An episode succeeds when the body never
tilts by 30 degrees or more (the simulator's verdict) and the policy never sees its leg
line lean that far.

Each worker's simulators run on a DDS domain of its own: free ones picked automatically
(and named), or --dds-domain D, D+1, ...; a domain where a controller or another program
already answers is refused. A worker that dies has its batch run again, once, and the
evaluation says so.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path

import robot

import balance_and_drive as policy
from tarvek_gym import evaluation
from tarvek_gym.simulator import Simulator, connect, resolve_physics  # noqa: F401  (benchmarks use them)

ROOT = Path(__file__).resolve().parent.parent
_LOOPBACK = ROOT / "config" / "cyclonedds-loopback.xml"
if _LOOPBACK.exists():
    # Simulator and policy share this machine: nothing needs to leave it.
    os.environ.setdefault("CYCLONEDDS_URI", f"file://{_LOOPBACK}")


def run_episode(r: robot.Robot, seconds: float, control_period: float) -> tuple[float | None, float]:
    """One episode of the balancing policy, from the first get_obs (user mode on: the
    simulator puts the robot back on its stand) to finish() (user mode off). Returns when
    the policy saw it fall (simulated seconds, or None), and the wall time its control loop
    took. A fallen robot ends its episode early."""
    kp = [policy.KP_LEG] * 2 + [policy.KP_WHEEL] * 2
    kd = [policy.KD_LEG] * 2 + [0.0, 0.0]
    law = policy.BalanceLaw(policy.K_LEAN, policy.K_LEAN_RATE, policy.K_SPEED, policy.K_YAW)
    try:
        r.set_gains(kp, kd)
        start = time.monotonic()
        for step in range(round(seconds / control_period)):
            obs = r.get_obs()
            torques, _, lean = law(obs, 0.0, 0.0)
            tilt = math.degrees(math.acos(max(-1.0, min(1.0, -obs["proj_grav"][2]))))
            if max(tilt, abs(math.degrees(lean))) > policy.FALLEN_DEG:
                return step * control_period, time.monotonic() - start
            r.do_action(policy.LEG_STANCE + policy.wheel_targets(obs, torques, kp[2]))
        return None, time.monotonic() - start
    finally:
        try:
            r.finish()
        except RuntimeError as e:
            # A machine too busy to acknowledge in time; the simulator still ends the episode
            # when user mode off reaches it.
            print(f"warning: finish(): {e}", file=sys.stderr)


def parse_args(argv=None) -> argparse.Namespace:
    doc = __doc__.split("\n\n")
    ap = argparse.ArgumentParser(description=" ".join(doc[0].split()), epilog=" ".join(doc[3].split()))
    ap.add_argument("--episodes", type=int, default=20)
    ap.add_argument("--seconds", type=float, default=10.0, help="simulated seconds per episode")
    ap.add_argument("--physics", choices=["auto", "mujoco", "toy"], default="auto",
                    help="auto: MuJoCo where it runs (CPython 3.11 or later), else the toy model")
    ap.add_argument("--seed", type=int, default=1, help="seed of the randomisation and the pushes")
    ap.add_argument("--no-randomize", action="store_true", help="the nominal robot in every episode")
    ap.add_argument("--push-every", type=float, default=2.0, help="simulated seconds between pushes")
    ap.add_argument("--push-force", type=float, default=75.0, help="newtons; 0: no pushes")
    ap.add_argument("--push-duration", type=float, default=0.1)
    ap.add_argument("--control-period", type=float, default=0.005)
    ap.add_argument("--robot-per-episode", action="store_true",
                    help="a new Robot object for every episode (default: one per batch, finished after each episode)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="worker processes on this machine (default: one per core)")
    ap.add_argument("--batch", type=int, default=10, help="episodes per simulator (default 10)")
    ap.add_argument("--ray", metavar="ADDRESS",
                    help="run the batches on the Ray cluster at ADDRESS; 'local' starts one on this machine")
    ap.add_argument("--dds-domain", type=int,
                    help="DDS domain of the first worker's simulator, D+1 the next one's... (default: free ones)")
    ap.add_argument("--results", type=Path, help="also write every episode's result to FILE as JSON")
    args = ap.parse_args(argv)
    for name in ("episodes", "workers", "batch"):
        if getattr(args, name) < 1:
            ap.error(f"--{name} must be 1 or more")
    if args.ray and args.dds_domain is not None:
        ap.error("--dds-domain cannot be combined with --ray: Ray's tasks take free domains on their nodes")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    try:
        physics, notice = resolve_physics(args.physics)
    except RuntimeError as e:
        print(f"evaluate.py: {e}", file=sys.stderr)
        return 2
    if notice:
        print(notice, file=sys.stderr)
    env = {"CYCLONEDDS_URI": os.environ["CYCLONEDDS_URI"]} if "CYCLONEDDS_URI" in os.environ else {}
    config = evaluation.Config(
        task="evaluate:run_episode", paths=[str(Path(__file__).resolve().parent)], physics=physics,
        seconds=args.seconds, control_period=args.control_period, randomize=not args.no_randomize,
        push_every=args.push_every, push_force=args.push_force, push_duration=args.push_duration,
        robot_per_episode=args.robot_per_episode, domain_base=args.dds_domain, env=env)
    batches = evaluation.plan(args.episodes, args.batch, args.seed)
    log = lambda text: print(text, file=sys.stderr, flush=True)  # noqa: E731
    try:
        if args.ray:
            if args.ray != "local" and _LOOPBACK.exists() and env.get("CYCLONEDDS_URI") == f"file://{_LOOPBACK}":
                # Another machine has no such file: the configuration travels as text.
                config.env = {"CYCLONEDDS_URI": _LOOPBACK.read_text()}
            outcome = evaluation.evaluate_ray(config, batches, args.ray, log)
            where = f"Ray ({args.ray}), one task per batch, on DDS domains {_ranges(outcome.domains)}"
        else:
            workers = min(args.workers, len(batches))
            outcome = evaluation.evaluate_local(config, batches, workers, log)
            where = f"{workers} worker process{'es' if workers > 1 else ''} on DDS domain{'s' if workers > 1 else ''} " \
                    f"{_ranges(outcome.domains)}"
    except (evaluation.EvaluationError, RuntimeError, ValueError) as e:
        print(f"evaluate.py: {e}", file=sys.stderr)
        return 1

    successes = 0
    simulated = looping = 0.0
    for e in outcome.results:
        successes += e["success"]
        simulated += e["sim_time"]
        looping += e["loop_wall"]
        d = e["draws"]
        print(f"episode {e['episode']:3d}: {'upright' if e['success'] else 'FELL':7s} "
              f"{e['sim_time']:7.3f} s simulated, largest tilt {e['largest_tilt']:5.1f} deg, "
              f"{e['pushes']} pushes; mass x{d['mass']:.3f}, friction x{d['friction']:.3f}, "
              f"torque limits x{d['torque_limit']:.3f}, delay {d['answer_delay'] * 1e3:.2f} ms")
    if args.results:
        args.results.write_text(json.dumps(outcome.results, indent=1) + "\n")

    pushes = (f"pushes of {args.push_force:g} N for {args.push_duration:g} s every {args.push_every:g} s"
              if args.push_force > 0.0 else "no pushes")
    robot_kind = "nominal robot" if args.no_randomize else "randomised robot"
    print(f"{args.episodes} episodes of up to {args.seconds:g} s on {physics}, {pushes}, {robot_kind} "
          f"(seed {args.seed}, batches of {args.batch})")
    print(f"success rate: {successes}/{args.episodes} ({100.0 * successes / args.episodes:.0f} %)")
    print(f"ran on: {where}")
    for what in outcome.retried:
        print(f"retried: {what}")
    print(f"wall time: {outcome.wall:.2f} s ({looping:.2f} s in control loops, summed over workers); "
          f"simulated time: {simulated:.2f} s")
    print(f"real-time factor: {simulated / outcome.wall:.1f}x overall, {simulated / max(looping, 1e-9):.1f}x "
          f"in the control loops of one worker")
    return 0


def _ranges(domains: list[int]) -> str:
    return ", ".join(str(d) for d in domains) or "none"


if __name__ == "__main__":
    sys.exit(main())
