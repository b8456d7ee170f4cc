"""The smallest useful policy: hold the legs at a standing pose with PD gains, keep the
wheels still, for a few seconds at a fixed rate, then hand the robot back.

    python examples/stand.py [--dds-domain 1] [--seconds 3] [--rate 100]
"""

import argparse
import time

import robot

STAND_POSE = [0.35, 0.35, 0.0, 0.0]  # legs bent a little; wheel targets are positions


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dds-domain", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rate", type=float, default=100.0)
    args = ap.parse_args()

    r = robot.Robot(dds_domain_id=args.dds_domain)
    r.set_gains(kp=[20.0, 20.0, 0.0, 0.0], kd=[0.5, 0.5, 0.8, 0.8])
    period = 1.0 / args.rate
    next_tick = time.monotonic()
    end = next_tick + args.seconds
    steps = 0
    try:
        while time.monotonic() < end:
            obs = r.get_obs()
            # Wheels: target their current position, so the PD term only damps them.
            r.do_action(STAND_POSE[:2] + obs["dof_pos"][2:4])
            steps += 1
            next_tick += period
            time.sleep(max(0.0, next_tick - time.monotonic()))
    finally:
        r.finish()
    print(f"{steps} steps in {args.seconds:.1f} s; legs at {obs['dof_pos'][:2]}")


if __name__ == "__main__":
    main()
