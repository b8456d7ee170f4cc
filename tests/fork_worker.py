"""A program with a Robot and a Joystick that forks a multiprocessing child, which tries the
inherited objects, then starts a spawn child with a Robot of its own. Prints one JSON line.

    python fork_worker.py DDS_DOMAIN ROS_DOMAIN
"""

from __future__ import annotations

import gc
import json
import multiprocessing
import statistics
import sys
import time

import joystick
import robot

GAINS = [1.0] * 4
# What the forked child tries to send: it must reach neither the controller nor the file.
CHILD_GAINS = [2.0] * 4


def latencies(r: robot.Robot, n: int) -> list[float]:
    out = []
    for _ in range(n):
        t = time.perf_counter()
        r.get_obs()
        out.append(time.perf_counter() - t)
    return out


def public_members(cls) -> list[str]:
    return sorted(n for n in dir(cls) if not n.startswith("_") and callable(getattr(cls, n)))


def forked(r: robot.Robot, j: joystick.Joystick, r_domain: int, queue) -> None:
    # Every public member, so that one added later without the check shows as untried.
    arguments = {"Robot": {"enable_user_mode": (), "finish": (), "get_obs": (),
                           "set_gains": (CHILD_GAINS, CHILD_GAINS), "do_action": (CHILD_GAINS,)},
                 "Joystick": {"get_cmd": ()}}
    calls = {}
    untried = []
    for obj in (r, j):
        cls = type(obj).__name__
        for name in public_members(type(obj)):
            if name in arguments[cls]:
                calls[f"{cls}.{name}"] = (getattr(obj, name), arguments[cls][name])
            else:
                untried.append(f"{cls}.{name}")
    # A fresh participant here would wait for ever on the parent's threads.
    calls["Robot()"] = (robot.Robot, (r_domain,))
    calls["Joystick()"] = (joystick.Joystick, ())
    tried = {}
    for name, (call, args) in calls.items():
        kwargs = {"dds_domain_id": r_domain} if name == "Joystick()" else {}
        t = time.monotonic()
        try:
            call(*args, **kwargs)
            tried[name] = [None, time.monotonic() - t]
        except Exception as e:  # noqa: BLE001 - reported to the parent as it is
            tried[name] = [f"{type(e).__name__}: {e}", time.monotonic() - t]
    # The destructors run here too, and must leave the parent's entities alone.
    del r, j, call, calls
    gc.collect()
    queue.put({"tried": tried, "untried": untried})


def spawned(domain: int, queue) -> None:
    r = robot.Robot(domain)
    queue.put(sorted(r.get_obs()))
    r.finish()


def main() -> None:
    domain, ros_domain = int(sys.argv[1]), int(sys.argv[2])
    r = robot.Robot(domain)
    j = joystick.Joystick(dds_domain_id=domain, ros2_domain_id=ros_domain)
    r.set_gains(GAINS, GAINS)
    latencies(r, 20)
    out = {"before": statistics.median(latencies(r, 200))}

    fork = multiprocessing.get_context("fork")
    queue = fork.Queue()
    child = fork.Process(target=forked, args=(r, j, domain, queue))
    child.start()
    during = []
    while child.is_alive() and len(during) < 5000:
        during += latencies(r, 1)
    out.update(queue.get(timeout=30))
    child.join(10)
    out["child_exitcode"] = child.exitcode
    after = latencies(r, 200)
    out["during_max"] = max(during, default=0.0)
    out["after"] = statistics.median(after)
    out["after_max"] = max(after)

    spawn = multiprocessing.get_context("spawn")
    queue = spawn.Queue()
    child = spawn.Process(target=spawned, args=(domain, queue))
    child.start()
    out["spawn_keys"] = queue.get(timeout=60)
    child.join(10)
    r.finish()
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
