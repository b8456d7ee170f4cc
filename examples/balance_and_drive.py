"""Balance the wheel-legged robot on its wheels and drive it by the operator's gamepad (left
stick forward/back, right stick turning), against the simulator's rigid-body physics
(`tarvek-sim --physics mujoco --gamepad demo`). Prints whether it stayed upright, how far it
went, the loop rate and the get_obs round trip. With --zero-gains every gain is zero, and
the robot falls off its wheels.

    python examples/balance_and_drive.py [--dds-domain 1] [--ros2-domain 0] [--seconds 10]
                                         [--rate 200] [--zero-gains]

The robot is a wheeled inverted pendulum: body and legs pivot about the wheel axles. The
legs are held at their stance by the controller's PD loop (position targets with kp, kd);
the wheels carry the balance law, a linear state feedback of the pendulum's lean, its rate
and the speed error,

    u = K_LEAN * lean + K_LEAN_RATE * lean_rate + K_SPEED * (speed - speed_command)

split between the wheels with a yaw-rate term for turning. The controller applies
torque = kp * (target - q) - kd * qdot at every physics step, so a wheel torque tau is asked
for with the target q + tau / kp; between two policy steps the PD keeps that torque close.
The gains were tuned against the simulator's model (12 kg, hips 0.4 m above the ground).
"""

from __future__ import annotations

import argparse
import math
import signal
import statistics
import sys
import time

import joystick
import robot

WHEEL_RADIUS = 0.1        # m
LEG_STANCE = [0.0, 0.0]   # rad: legs straight under the hips
KP_LEG, KD_LEG = 60.0, 2.0
KP_WHEEL = 20.0           # only turns the wheel torque into a target; no damping on wheels
K_LEAN = 60.0             # N m per rad of lean (positive lean: falling forward)
K_LEAN_RATE = 6.0         # N m per rad/s
K_SPEED = 8.0             # N m per m/s of speed above the command
K_YAW = 1.0               # N m per rad/s of yaw-rate error
WHEEL_TORQUE_LIMIT = 17.0
MAX_SPEED, MAX_TURN = 0.8, 1.5   # m/s and rad/s at full stick
MAX_ACCEL = 1.0           # m/s^2: the speed command follows the stick no faster than this
# Fallen: the body tilted, or the legs folded under it (the leg line leans), past this.
FALLEN_DEG = 30.0


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(p / 100 * (len(ordered) - 1)))]


class BalanceLaw:
    """Wheel torques from one observation: the lean of the leg line (body pitch plus leg
    angle), its rate, and the wheels' ground speed."""

    def __init__(self, k_lean: float, k_lean_rate: float, k_speed: float, k_yaw: float):
        self.k_lean, self.k_lean_rate, self.k_speed, self.k_yaw = k_lean, k_lean_rate, k_speed, k_yaw

    def __call__(self, obs: dict, speed_cmd: float, turn_cmd: float) -> tuple[list[float], float, float]:
        gx, _, gz = obs["proj_grav"]
        pitch = math.atan2(gx, -gz)               # positive: nose down
        legs = obs["dof_pos"][0:2]
        leg_rates = obs["dof_vel"][0:2]
        lean = pitch + 0.5 * (legs[0] + legs[1])
        lean_rate = obs["ang_vel"][1] + 0.5 * (leg_rates[0] + leg_rates[1])
        wheel_rate = 0.5 * (obs["dof_vel"][2] + obs["dof_vel"][3])
        # Wheel joints turn relative to the legs; the ground sees leg and wheel rates added.
        speed = WHEEL_RADIUS * (wheel_rate + lean_rate)
        u = self.k_lean * lean + self.k_lean_rate * lean_rate + self.k_speed * (speed - speed_cmd)
        yaw = self.k_yaw * (turn_cmd - obs["ang_vel"][2])
        torques = [max(-WHEEL_TORQUE_LIMIT, min(WHEEL_TORQUE_LIMIT, t))
                   for t in (0.5 * u - yaw, 0.5 * u + yaw)]
        return torques, speed, lean


def wheel_targets(obs: dict, torques: list[float], kp_wheel: float) -> list[float]:
    if kp_wheel == 0.0:
        return list(obs["dof_pos"][2:4])
    return [obs["dof_pos"][2 + i] + torques[i] / kp_wheel for i in range(2)]


def stop_on_sigterm(signum, frame):
    # `kill`, `systemctl stop` and `timeout` send SIGTERM: unwind like Ctrl-C does, so that the
    # `finally` below hands the robot back to its controller before the program ends.
    raise SystemExit(128 + signum)


def main() -> int:
    signal.signal(signal.SIGTERM, stop_on_sigterm)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dds-domain", type=int, default=1)
    ap.add_argument("--ros2-domain", type=int, default=0)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--rate", type=float, default=200.0, help="control rate in Hz")
    ap.add_argument("--zero-gains", action="store_true",
                    help="send zero gains and zero the balance law: the robot is not controlled")
    args = ap.parse_args()

    scale = 0.0 if args.zero_gains else 1.0
    kp = [scale * KP_LEG] * 2 + [scale * KP_WHEEL] * 2
    kd = [scale * KD_LEG] * 2 + [0.0, 0.0]
    law = BalanceLaw(scale * K_LEAN, scale * K_LEAN_RATE, scale * K_SPEED, scale * K_YAW)

    t0 = time.monotonic()
    r = robot.Robot(dds_domain_id=args.dds_domain)
    r.set_gains(kp, kd)  # also recorded for the joystick's configuration request
    pad = joystick.Joystick(["left_y", "right_x"], {"left_y": [-1.0, 1.0], "right_x": [-1.0, 1.0]},
                            dds_domain_id=args.dds_domain, ros2_domain_id=args.ros2_domain)
    setup_s = time.monotonic() - t0

    period = 1.0 / args.rate
    pad_every = max(1, round(args.rate / 50.0))  # the gamepad is read at about 50 Hz
    obs_rtt_us: list[float] = []
    stick = [0.0, 0.0]
    speed_cmd = 0.0
    path = net = 0.0
    odometry = 0.0
    max_tilt = max_lean = 0.0
    fell_at = None
    steps = 0
    # The first observation switches user mode on: the simulated robot leaves its stand.
    start = next_tick = time.monotonic()
    last = start
    try:
        while next_tick < start + args.seconds:
            t = time.perf_counter()
            obs = r.get_obs()
            obs_rtt_us.append((time.perf_counter() - t) * 1e6)
            now = time.monotonic()
            dt, last = now - last, now

            if steps % pad_every == 0:
                cmd = pad.get_cmd()["cmd_vector"]
                if any(cmd):  # all zeros: nothing new arrived; keep the last command
                    stick = cmd
            step_limit = MAX_ACCEL * dt
            speed_cmd += max(-step_limit, min(step_limit, MAX_SPEED * stick[0] - speed_cmd))
            torques, speed, lean = law(obs, speed_cmd, -MAX_TURN * stick[1])
            r.do_action(LEG_STANCE + wheel_targets(obs, torques, kp[2]))

            tilt = math.degrees(math.acos(max(-1.0, min(1.0, -obs["proj_grav"][2]))))
            max_tilt = max(max_tilt, tilt)
            max_lean = max(max_lean, abs(math.degrees(lean)))
            if fell_at is None and max(tilt, abs(math.degrees(lean))) > FALLEN_DEG:
                fell_at = now - start
            if steps > 0:
                path += abs(speed) * dt
                net += speed * dt
                odometry += obs["lin_vel"][0] * dt
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
    print(f"driven: {path:.2f} m of wheel travel, {net:+.2f} m net forward "
          f"(body velocity integrated: {odometry:+.2f} m); last stick {[round(v, 2) for v in stick]}")
    if fell_at is None:
        print(f"upright throughout: yes (largest body tilt {max_tilt:.1f} deg, leg lean {max_lean:.1f} deg)")
    else:
        print(f"upright throughout: no - fell after {fell_at:.2f} s "
              f"(body tilt reached {max_tilt:.0f} deg, leg lean {max_lean:.0f} deg)")
    if args.zero_gains:
        print("zero gains: " + ("the robot fell, as it must without control" if fell_at is not None
                                else "the robot did not fall"))
        return 0 if fell_at is not None else 1
    return 0 if fell_at is None else 1


if __name__ == "__main__":
    sys.exit(main())
