"""SIGTERM to a robot program that built a Joystick, as a service manager, `timeout` or
`Process.terminate()` sends it: the ROS 2 side's handler must not swallow it. Every program
runs in a process of its own; the signal comes from this one."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# The pattern the README shows: SIGTERM becomes SystemExit, and `finally` hands the robot back.
HAND_BACK = "def stop(signum, frame):\n    raise SystemExit(0)\n"


def program(domain: int, ros_domain: int, before: str, after: str) -> str:
    return "\n".join([
        "import signal, sys, time",
        "import joystick, robot",
        HAND_BACK,
        before,
        f"r = robot.Robot(dds_domain_id={domain}, wait_obs_timeout_ms=1)",
        f"j = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={ros_domain})",
        after,
        textwrap.dedent("""
            try:
                r.set_gains(kp=[10, 10, 1, 1], kd=[1, 1, 0.1, 0.1])
                print("ready", flush=True)
                while True:
                    r.get_obs()
                    j.get_cmd()
                    r.do_action([0.0] * 4)
            finally:
                r.finish()
            """),
    ])


@pytest.fixture
def start(state_dir):
    """Starts a program and returns once it printed "ready"; every one is reaped afterwards."""
    procs = []

    def run(code: str) -> subprocess.Popen:
        env = {k: v for k, v in os.environ.items() if k != "ROS_DOMAIN_ID"}
        env["TMPDIR"] = str(state_dir)
        proc = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        line = proc.stdout.readline()
        if line.strip() != "ready":
            proc.kill()
            raise AssertionError(f"program did not start: {line!r} {proc.communicate(timeout=10)}")
        return proc

    yield run
    for proc in procs:
        proc.kill()
        proc.communicate(timeout=10)


def terminate_and_time(proc: subprocess.Popen, timeout: float = 5.0) -> float:
    sent = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=timeout)
    return time.monotonic() - sent


@pytest.mark.parametrize(
    "before, after, ends_by_signal",
    [
        ("", "", True),
        ("", "signal.signal(signal.SIGTERM, stop)", False),
        ("signal.signal(signal.SIGTERM, stop)", "", False),
    ],
    ids=["no-handler-ends-the-process", "handler-after-hands-back", "handler-before-hands-back"],
)
def test_sigterm_keeps_its_meaning(start_sim, start, domain, fresh_ros_domain, before, after,
                                   ends_by_signal):
    sim = start_sim("--ros-domain", str(fresh_ros_domain))
    proc = start(program(domain, fresh_ros_domain, before, after))
    sim.wait_sample("user_mode", enabled=True)
    mark = sim.mark()
    elapsed = terminate_and_time(proc)
    print(f"SIGTERM to exit: {elapsed * 1e3:.1f} ms")
    if ends_by_signal:
        assert proc.returncode == -signal.SIGTERM
        assert elapsed < 1.0
    else:
        assert proc.returncode == 0
        sim.wait_sample("user_mode", start=mark, enabled=False)


def test_ignored_sigterm_stays_ignored(start_sim, start, domain, fresh_ros_domain):
    start_sim("--ros-domain", str(fresh_ros_domain))
    proc = start(program(domain, fresh_ros_domain, "signal.signal(signal.SIGTERM, signal.SIG_IGN)", ""))
    proc.send_signal(signal.SIGTERM)
    with pytest.raises(subprocess.TimeoutExpired):
        proc.wait(timeout=0.5)


def test_forked_child_ends_on_terminate_and_leaves_the_parents_ros2_side_alone(
        start_sim, state_dir, domain, fresh_ros_domain):
    start_sim("--ros-domain", str(fresh_ros_domain))
    code = textwrap.dedent(
        f"""
        import multiprocessing, time
        import joystick
        a = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
        child = multiprocessing.get_context("fork").Process(target=time.sleep, args=(30,))
        child.start()
        time.sleep(0.2)
        sent = time.monotonic()
        child.terminate()
        child.join(5)
        print("child", child.exitcode, round(time.monotonic() - sent, 3), flush=True)
        time.sleep(0.2)
        # Still the first initialisation: a second Joystick joins its domain, whatever it asks.
        b = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain + 1})
        print("second joystick connected", flush=True)
        """
    )
    env = {k: v for k, v in os.environ.items() if k != "ROS_DOMAIN_ID"}
    env["TMPDIR"] = str(state_dir)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60)
    print(out.stdout)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    _, exitcode, seconds = lines[0].split()
    assert int(exitcode) == -signal.SIGTERM
    assert float(seconds) < 1.0
    assert lines[1] == "second joystick connected"
