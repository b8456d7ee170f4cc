"""Evaluate the balancing policy of balance_and_drive.py over many episodes, against the
simulator in lockstep, with random pushes and a randomised robot in every episode. Prints
each episode and then the success rate, the wall time, the simulated time and the
real-time factor.

    python examples/evaluate.py [--episodes 20] [--seconds 10] [--physics mujoco]
                                [--seed 1] [--push-every 2] [--push-force 75]
                                [--no-randomize] [--robot-per-episode] [--dds-domain 1]

It starts its own simulator (tarvek-sim --lockstep --episodes ...). Every switch of user
mode to on starts an episode on the stand: one Robot runs them all, finish() ending each
and the next get_obs starting the next (--robot-per-episode: a Robot object per episode,
as separate runs of a deployment script would). Simulated time advances by one control
period per action, so the loop runs as fast as the two processes allow, and a seed gives
the same result every time. An episode succeeds when the body never tilts by 30 degrees or more
(the simulator's verdict) and the policy never sees its leg line lean that far.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import robot

import balance_and_drive as policy

ROOT = Path(__file__).resolve().parent.parent
_LOOPBACK = ROOT / "config" / "cyclonedds-loopback.xml"
if _LOOPBACK.exists():
    # Simulator and policy share this machine: nothing needs to leave it.
    os.environ.setdefault("CYCLONEDDS_URI", f"file://{_LOOPBACK}")


def simulator_executable() -> str:
    beside = Path(sys.prefix) / "bin" / "tarvek-sim"
    return str(beside) if beside.exists() else (shutil.which("tarvek-sim") or "tarvek-sim")


class Simulator:
    """tarvek-sim in lockstep with episodes. Its events go to a file, not a pipe: the SDK
    holds the interpreter while it waits for an answer, so a thread reading a pipe could
    fall behind, and a full pipe would stall the simulator in the middle of that wait."""

    def __init__(self, domain: int, sim_args: list[str]):
        self._log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([simulator_executable(), "--domain", str(domain), "--lockstep",
                                      "--episodes", *sim_args],
                                     stdin=subprocess.PIPE, stdout=self._log, text=True)
        self._pending = b""
        self._offset = 0
        self.episodes: list[dict] = []
        ready = self._wait(lambda e: e["event"] in ("ready", "error"), 10.0)
        if ready["event"] == "error":
            self.close()
            raise RuntimeError(f"tarvek-sim: {ready['message']}")

    def _events(self):
        # pread leaves the file offset alone: the simulator writes through the same open
        # file, and moving its offset would make it write over events not yet read.
        chunk = b""
        while block := os.pread(self._log.fileno(), 1 << 16, self._offset + len(chunk)):
            chunk += block
        self._offset += len(chunk)
        *lines, self._pending = (self._pending + chunk).split(b"\n")
        return [json.loads(line) for line in lines if line.strip()]

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
            time.sleep(0.001)

    def wait_connected(self, timeout: float = 10.0) -> None:
        """Until the simulator has matched exactly one peer on each of the six topics: the
        new Robot's, and no longer the last one's. A sample written before the simulator's
        reader knows its writer would be lost, and with it the run's repeatability."""
        deadline = time.monotonic() + timeout
        while True:
            self.proc.stdin.write('{"cmd":"status"}\n')
            self.proc.stdin.flush()
            status = self._wait(lambda e: e["event"] == "status", timeout)
            if all(count == 1 for count in status["matched"].values()):
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"the simulator did not match the policy's Robot: {status['matched']}")
            time.sleep(0.01)

    def episode(self, index: int, timeout: float = 10.0) -> dict:
        """The report of episode `index` (from 1)."""
        if len(self.episodes) < index:
            self._wait(lambda e: e["event"] == "episode" and e["index"] == index, timeout)
        return self.episodes[index - 1]

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdin.close()
        self._log.close()


def connect(sim: Simulator, domain: int) -> robot.Robot:
    # An answer in lockstep is never lost, only slow on a busy machine; a request written
    # again meanwhile would only add a second answer to drain.
    r = robot.Robot(dds_domain_id=domain, wait_obs_timeout_ms=1000)
    sim.wait_connected()
    return r


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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--episodes", type=int, default=20)
    ap.add_argument("--seconds", type=float, default=10.0, help="simulated seconds per episode")
    ap.add_argument("--physics", choices=["mujoco", "toy"], default="mujoco")
    ap.add_argument("--seed", type=int, default=1, help="seed of the randomisation and the pushes")
    ap.add_argument("--no-randomize", action="store_true", help="the nominal robot in every episode")
    ap.add_argument("--push-every", type=float, default=2.0, help="simulated seconds between pushes")
    ap.add_argument("--push-force", type=float, default=75.0, help="newtons; 0: no pushes")
    ap.add_argument("--push-duration", type=float, default=0.1)
    ap.add_argument("--control-period", type=float, default=0.005)
    ap.add_argument("--dds-domain", type=int, default=1)
    ap.add_argument("--robot-per-episode", action="store_true",
                    help="a new Robot object for every episode (default: one, finished after each)")
    args = ap.parse_args()

    sim_args = ["--physics", args.physics, "--control-period", str(args.control_period)]
    if not args.no_randomize:
        sim_args += ["--randomize", str(args.seed)]
    if args.push_force > 0.0:
        sim_args += ["--push-every", str(args.push_every), "--push-force", str(args.push_force),
                     "--push-duration", str(args.push_duration)]
    sim = Simulator(args.dds_domain, sim_args)
    successes = 0
    simulated = looping = 0.0
    try:
        start = time.monotonic()
        r = None
        for index in range(1, args.episodes + 1):
            if r is None or args.robot_per_episode:
                del r  # the last one's participant leaves before the next one joins
                r = connect(sim, args.dds_domain)
            fell_at, loop_wall = run_episode(r, args.seconds, args.control_period)
            looping += loop_wall
            report = sim.episode(index)
            simulated += report["sim_time"]
            success = fell_at is None and not report["fallen"]
            successes += success
            d = report["draws"]
            print(f"episode {index:3d}: {'upright' if success else 'FELL':7s} "
                  f"{report['sim_time']:7.3f} s simulated, largest tilt {report['largest_tilt']:5.1f} deg, "
                  f"{report['pushes']} pushes; mass x{d['mass']:.3f}, friction x{d['friction']:.3f}, "
                  f"torque limits x{d['torque_limit']:.3f}, delay {d['answer_delay'] * 1e3:.2f} ms",
                  flush=True)
        wall = time.monotonic() - start
    finally:
        sim.close()

    pushes = (f"pushes of {args.push_force:g} N for {args.push_duration:g} s every {args.push_every:g} s"
              if args.push_force > 0.0 else "no pushes")
    robot_kind = "nominal robot" if args.no_randomize else f"randomised robot (seed {args.seed})"
    print(f"{args.episodes} episodes of up to {args.seconds:g} s on {args.physics}, {pushes}, {robot_kind}")
    print(f"success rate: {successes}/{args.episodes} ({100.0 * successes / args.episodes:.0f} %)")
    print(f"wall time: {wall:.2f} s ({looping:.2f} s in control loops, the rest connecting and "
          f"finishing episodes); simulated time: {simulated:.2f} s")
    print(f"real-time factor: {simulated / wall:.1f}x overall, {simulated / looping:.1f}x in the control loops")
    return 0


if __name__ == "__main__":
    sys.exit(main())
