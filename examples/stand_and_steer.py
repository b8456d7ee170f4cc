"""An example policy on both modules: stand on the legs with PD gains while the wheels follow
the operator's gamepad (left stick forward/back, right stick turning), at a fixed rate for
a few seconds. Prints what it did and how fast the SDK answered.

    python examples/stand_and_steer.py [--dds-domain 1] [--ros2-domain 0] [--seconds 5]
"""

from __future__ import annotations

import argparse
import statistics
import time

import joystick
import robot

LEG_POSE = [0.35, 0.35]
KP = [20.0, 20.0, 6.0, 6.0]
KD = [0.5, 0.5, 0.6, 0.6]
WHEEL_LEAD = 0.5  # rad of wheel target ahead of the wheel per unit of command


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(p / 100 * (len(ordered) - 1)))]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dds-domain", type=int, default=1)
    ap.add_argument("--ros2-domain", type=int, default=0)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--rate", type=float, default=50.0, help="control rate in Hz")
    args = ap.parse_args()

    t0 = time.monotonic()
    r = robot.Robot(dds_domain_id=args.dds_domain)
    r.set_gains(KP, KD)  # also recorded for the joystick's configuration request
    pad = joystick.Joystick(["left_y", "right_x"], {"left_y": [-0.5, 0.5]},
                            dds_domain_id=args.dds_domain, ros2_domain_id=args.ros2_domain)
    setup_s = time.monotonic() - t0

    period = 1.0 / args.rate
    obs_rtt_us: list[float] = []
    commands_seen = 0
    forward = turn = 0.0
    max_forward = 0.0
    steps = 0
    start = next_tick = time.monotonic()
    try:
        while next_tick < start + args.seconds:
            t = time.perf_counter()
            obs = r.get_obs()
            obs_rtt_us.append((time.perf_counter() - t) * 1e6)

            cmd = pad.get_cmd()["cmd_vector"]
            if any(cmd):  # all zeros: nothing new arrived; keep steering as before
                forward, turn = cmd
                commands_seen += 1
                max_forward = max(max_forward, abs(forward))
            left, right = forward - turn, forward + turn
            wheels = obs["dof_pos"][2:4]
            r.do_action(LEG_POSE + [wheels[0] + WHEEL_LEAD * left, wheels[1] + WHEEL_LEAD * right])

            steps += 1
            next_tick += period
            time.sleep(max(0.0, next_tick - time.monotonic()))
    finally:
        r.finish()
    elapsed = time.monotonic() - start

    print(f"set-up (Robot, gains, Joystick with its configuration request): {setup_s * 1e3:.1f} ms")
    print(f"loop: {steps} steps in {elapsed:.2f} s = {steps / elapsed:.1f} Hz (target {args.rate:g} Hz)")
    print(f"get_obs round trip: median {statistics.median(obs_rtt_us):.0f} us, "
          f"p99 {percentile(obs_rtt_us, 99):.0f} us")
    print(f"gamepad: {commands_seen} fresh commands, largest forward command {max_forward:.2f}")
    print(f"final legs {[round(v, 3) for v in obs['dof_pos'][:2]]} (target {LEG_POSE}), "
          f"wheel speeds {[round(v, 2) for v in obs['dof_vel'][2:4]]} rad/s, "
          f"body speed {[round(v, 2) for v in obs['lin_vel']]} m/s")


if __name__ == "__main__":
    main()
