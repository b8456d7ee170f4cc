"""The simulator's rigid-body backend under a policy's load, against the toy backend:

- real-time factor of the physics thread (1 kHz steps) while a policy calls get_obs and
  do_action at 500 Hz (the example's balance law, so the robot stays up);
- get_obs round trip with each backend, at the median and p99, in the same run (rounds of
  the two backends alternate, so load from elsewhere falls on both alike);
- in lockstep (tarvek-sim --lockstep, a 5 ms control period), the real-time factor of the
  example's balance law running as fast as it can against each backend, and where each
  control period's wall time goes: get_obs (the request, the simulator stepping the
  action before it, the answer), do_action (the write), and the policy's own Python.

Prints figures; asserts nothing.

    .venv/bin/python bench/physics_bench.py [--seconds 5] [--rounds 2] [--rate 500] [--domain 130]
                                            [--lockstep-seconds 20] [--sim PATH]

--sim measures another build of the simulator in real time, to compare before and after a
change (a build tree's tarvek-sim finds the MuJoCo plugin beside it).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
os.environ.setdefault("CYCLONEDDS_URI", f"file://{ROOT / 'config' / 'cyclonedds-loopback.xml'}")

sys.path.insert(0, str(ROOT / "examples"))
import balance_and_drive as example  # noqa: E402
import evaluate  # noqa: E402


def percentile(sorted_values: list[float], p: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))]


class Sim:
    """The simulator with its events collected on a thread (so it never blocks on stdout)."""

    def __init__(self, domain: int, physics: str):
        exe = SIMULATOR
        self.proc = subprocess.Popen([str(exe), "--domain", str(domain), "--physics", physics],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.events: list[dict] = []
        for line in self.proc.stdout:
            if '"ready"' in line:
                break
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            if '"physics"' in line:
                self.events.append(json.loads(line))

    def close(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=10)


SIMULATOR = Path(sys.prefix) / "bin" / "tarvek-sim"


def run_policy(domain: int, physics: str, seconds: float, rate: float):
    import robot

    sim = Sim(domain, physics)
    try:
        r = robot.Robot(domain)
        kp = [example.KP_LEG] * 2 + [example.KP_WHEEL] * 2
        r.set_gains(kp, [example.KD_LEG] * 2 + [0.0, 0.0])
        law = example.BalanceLaw(example.K_LEAN, example.K_LEAN_RATE, example.K_SPEED, example.K_YAW)
        rtt = []
        clock = time.perf_counter_ns
        mark = len(sim.events)
        start = next_tick = time.monotonic()
        steps = 0
        while next_tick < start + seconds:
            t0 = clock()
            obs = r.get_obs()
            rtt.append((clock() - t0) / 1000.0)
            torques, _, _ = law(obs, 0.0, 0.0)
            r.do_action(example.LEG_STANCE + example.wheel_targets(obs, torques, kp[2]))
            steps += 1
            next_tick += 1.0 / rate
            # Sleep most of the gap and spin the rest (sleep alone overshoots by ~0.1 ms), but
            # briefly: a spinning policy takes a core from the simulator on a small machine.
            gap = next_tick - time.monotonic()
            if gap > 0.0001:
                time.sleep(gap - 0.0001)
            while time.monotonic() < next_tick:
                pass
        loop_hz = steps / (time.monotonic() - start)
        upright = -obs["proj_grav"][2]
        r.finish()
        del r
        time.sleep(1.1)  # one more physics report covering the end of the loop
        reports = sim.events[mark:]
    finally:
        sim.close()
    return rtt, loop_hz, reports, upright


def run_lockstep(domain: int, physics: str, seconds: float, period: float = 0.005):
    """The example's balance law in lockstep for `seconds` of simulated time, as fast as it
    goes; returns the wall time and the seconds spent in get_obs, do_action and the law."""
    import robot

    sim = evaluate.Simulator(domain, ["--physics", physics, "--control-period", str(period)])
    try:
        r = robot.Robot(domain, wait_obs_timeout_ms=1000)
        kp = [example.KP_LEG] * 2 + [example.KP_WHEEL] * 2
        r.set_gains(kp, [example.KD_LEG] * 2 + [0.0, 0.0])
        law = example.BalanceLaw(example.K_LEAN, example.K_LEAN_RATE, example.K_SPEED, example.K_YAW)
        clock = time.perf_counter
        spent = {"get_obs": 0.0, "do_action": 0.0, "policy": 0.0}
        start = clock()
        for _ in range(round(seconds / period)):
            t0 = clock()
            obs = r.get_obs()
            t1 = clock()
            torques, _, _ = law(obs, 0.0, 0.0)
            action = example.LEG_STANCE + example.wheel_targets(obs, torques, kp[2])
            t2 = clock()
            r.do_action(action)
            spent["get_obs"] += t1 - t0
            spent["policy"] += t2 - t1
            spent["do_action"] += clock() - t2
        wall = clock() - start
        upright = -obs["proj_grav"][2] > 0.95
        r.finish()
    finally:
        sim.close()
    return wall, spent, upright


def main() -> None:
    global SIMULATOR
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=5.0, help="policy time per round and backend")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--rate", type=float, default=500.0, help="policy rate in Hz")
    ap.add_argument("--domain", type=int, default=130)
    ap.add_argument("--lockstep-seconds", type=float, default=20.0,
                    help="simulated time per backend in lockstep; 0 skips it")
    ap.add_argument("--sim", type=Path, default=SIMULATOR,
                    help="the simulator to measure in real time (another build, to compare)")
    args = ap.parse_args()
    SIMULATOR = args.sim

    with tempfile.TemporaryDirectory() as tmp:
        os.environ["TMPDIR"] = tmp
        rtt = {"toy": [], "mujoco": []}
        rates = {"toy": [], "mujoco": []}
        rtf: list[float] = []
        dropped = 0
        for i in range(args.rounds):
            for physics in ("toy", "mujoco"):
                samples, hz, reports, upright = run_policy(args.domain + i, physics, args.seconds, args.rate)
                rtt[physics] += samples
                rates[physics].append(hz)
                if physics == "mujoco":
                    # Windows wholly inside the policy's run (released from the stand).
                    inside = [e for e in reports if not e["on_stand"]][:-1] or reports
                    rtf += [e["real_time_factor"] for e in inside]
                    dropped += sum(e["dropped_steps"] for e in inside)
                    print(f"round {i + 1}: mujoco upright at the end: {upright > 0.95} "
                          f"(cos tilt {upright:.3f})")

    print(f"policy loop: toy {statistics.mean(rates['toy']):.1f} Hz, "
          f"mujoco {statistics.mean(rates['mujoco']):.1f} Hz (target {args.rate:g} Hz)")
    if rtf:
        print(f"real-time factor at 1 kHz physics over {len(rtf)} one-second windows: "
              f"min {min(rtf):.4f}, median {statistics.median(rtf):.4f}; dropped steps {dropped}")
    med = {}
    for physics in ("toy", "mujoco"):
        s = sorted(rtt[physics])
        med[physics] = statistics.median(s)
        print(f"get_obs round trip, {physics}: median {med[physics]:.1f} us, p99 {percentile(s, 99):.1f} us "
              f"over {len(s)} calls")
    print(f"mujoco - toy at the median: {med['mujoco'] - med['toy']:+.1f} us (aim: within 10 us)")

    if args.lockstep_seconds > 0:
        steps = round(args.lockstep_seconds / 0.005)
        for physics in ("toy", "mujoco"):
            with tempfile.TemporaryDirectory() as tmp:
                os.environ["TMPDIR"] = tmp  # the runtime state file of the Robot
                wall, spent, upright = run_lockstep(args.domain, physics, args.lockstep_seconds)
            per = {k: v / steps * 1e6 for k, v in spent.items()}
            print(f"lockstep, {physics}: {args.lockstep_seconds:g} s simulated in {wall:.2f} s wall = "
                  f"{args.lockstep_seconds / wall:.1f}x real time (upright: {upright}); per 5 ms period: "
                  f"get_obs {per['get_obs']:.0f} us, do_action {per['do_action']:.0f} us, "
                  f"policy {per['policy']:.0f} us")


if __name__ == "__main__":
    main()
