"""Construct/destroy cycles of Robot and Joystick through the Python bindings.

Not a pytest module: scripts/sanitize.sh runs it under the leak checker, which reports at
exit whatever a cycle failed to give back (the native cycles test does the same below the
bindings). Successful and failed constructions both count; the simulator stands in for
the robot, so that gains, observations and the joystick's configuration all take place.

Usage: python tests/leak_cycles.py [cycles]
"""

import os
import subprocess
import sys
import threading
import time

import joystick
import robot

DDS_DOMAIN = 148
ROS2_DOMAIN = 149


def start_simulator():
    sim = subprocess.Popen(
        [os.path.join(sys.prefix, "bin", "tarvek-sim"), "--domain", str(DDS_DOMAIN),
         "--ros-domain", str(ROS2_DOMAIN)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    for line in sim.stdout:
        if '"ready"' in line:
            # It reports every sample it receives; a full pipe would stall it.
            threading.Thread(target=sim.stdout.read, daemon=True).start()
            return sim
        if time.monotonic() > deadline:
            break
    sim.kill()
    raise SystemExit("the simulator did not become ready")


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    sim = start_simulator()
    try:
        for i in range(cycles):
            r = robot.Robot(dds_domain_id=DDS_DOMAIN, wait_obs_timeout_ms=1)
            r.set_gains([20, 20, 6, 6], [0.5, 0.5, 0.6, 0.6])
            if i < 3:
                obs = r.get_obs()
                assert len(obs["dof_pos"]) == 4, obs
                r.do_action([0.1, 0.1, 0.0, 0.0])
                r.finish()
            del r
            j = joystick.Joystick(["left_y", "right_x"], {"left_y": [-0.5, 0.5]},
                                  dds_domain_id=DDS_DOMAIN, ros2_domain_id=ROS2_DOMAIN)
            assert len(j.get_cmd()["cmd_vector"]) == 2
            del j
            for bad in (lambda: robot.Robot(dds_domain_id=5000),
                        lambda: joystick.Joystick(["jump"]),
                        lambda: joystick.Joystick([], {}, dds_domain_id=5000)):
                try:
                    bad()
                except RuntimeError:
                    pass
                else:
                    raise SystemExit("a construction that must fail succeeded")
    finally:
        sim.stdin.close()
        sim.terminate()
        sim.wait(timeout=10)
    print(f"leak_cycles: {cycles} cycles done")


if __name__ == "__main__":
    main()
