"""The SDK in a process of its own, waiting where a test interrupts it or its controller from
outside. Prints JSON lines; times are CLOCK_MONOTONIC seconds, comparable with the test's.

    python stopping_worker.py MODE DDS_DOMAIN [ROS_DOMAIN | ROUNDS]

Each round prints {"waiting": t} just before a blocking call, then {"ki": t, "context": ...}
when KeyboardInterrupt left it. Lines in capitals on stdin (GO) let the test act between
steps the worker announces with {"step": name}.
"""

from __future__ import annotations

import json
import signal
import sys
import time

import joystick
import robot

ROUNDS = 10


def emit(**fields) -> None:
    print(json.dumps(fields), flush=True)


def step(name: str) -> None:
    emit(step=name)
    sys.stdin.readline()


def rounds(call) -> None:
    for _ in range(ROUNDS):
        emit(waiting=time.monotonic())
        try:
            call()
            emit(returned=time.monotonic())
        except KeyboardInterrupt as e:
            emit(ki=time.monotonic(), context=str(e.__context__) if e.__context__ else None)


def timed_finish(r: robot.Robot) -> None:
    try:
        r.finish()
        emit(finish=None)
    except RuntimeError as e:
        emit(finish=str(e))


def forever(call):
    def run():
        while True:
            call()
    return run


def main() -> None:
    # A shell may start us with SIGINT ignored; Python then installs no handler of its own.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    mode, domain = sys.argv[1], int(sys.argv[2])
    ros_domain = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    if mode in ("get_obs", "get_obs_unlimited"):
        r = robot.Robot(domain, 0 if mode == "get_obs_unlimited" else 1)
        rounds(r.get_obs)
        timed_finish(r)
    elif mode == "first_contact":
        rounds(lambda: robot.Robot(domain).enable_user_mode())
    elif mode == "finish":
        r = robot.Robot(domain)
        r.get_obs()
        step("stop the controller")
        rounds(r.finish)
        step("resume the controller")
        timed_finish(r)
    elif mode == "controller_dies":
        r = robot.Robot(domain, 0)
        r.get_obs()
        step("silence the controller")
        start = time.monotonic()
        try:
            r.get_obs()
            emit(error=None)
        except RuntimeError as e:
            emit(error=str(e), start=start, end=time.monotonic())
    elif mode == "finish_retry":
        r = robot.Robot(domain)
        r.get_obs()
        step("freeze the controller and start another")
        timed_finish(r)
        step("end the frozen controller")
        timed_finish(r)
    elif mode == "finish_retry_rounds":
        r = robot.Robot(domain)
        for _ in range(int(sys.argv[3])):
            r.get_obs()
            step("freeze the controller")
            timed_finish(r)
            step("start another, end the frozen one")
            timed_finish(r)
            step("next round")
    elif mode == "joystick":
        rounds(lambda: joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain))
    elif mode == "get_cmd":
        j = joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain)
        rounds(forever(j.get_cmd))
    emit(done=True)


if __name__ == "__main__":
    main()
