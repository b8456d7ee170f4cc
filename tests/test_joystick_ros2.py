"""The process-wide ROS 2 side of the joystick: the domain it joins, a second Joystick in the
same process, and SIGINT while waiting for the answer. Each case runs in a fresh process,
since the ROS 2 context lives as long as its process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest


def run_fresh(code: str, state_dir, env_extra=None, timeout=30) -> dict:
    env = {k: v for k, v in os.environ.items() if k != "ROS_DOMAIN_ID"}
    env.update({"TMPDIR": str(state_dir), **(env_extra or {})})
    # os.environ is a copy taken at start-up; the process's real environment is libc's.
    prelude = (
        "import ctypes, json, os, signal, subprocess, sys, time\nimport joystick\n"
        "getenv = ctypes.CDLL(None).getenv\ngetenv.restype = ctypes.c_char_p\n"
        "def ros_domain_env():\n    return getenv(b'ROS_DOMAIN_ID').decode()\n"
    )
    out = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize(
    "ros2_domain_id, inherited, joined",
    [(-5, None, 0), ("fresh", "7", "fresh")],
    ids=["negative-becomes-zero", "argument-replaces-environment"],
)
def test_first_joystick_sets_the_ros_domain(start_sim, domain, state_dir, fresh_ros_domain,
                                            ros2_domain_id, inherited, joined):
    ros_domain = fresh_ros_domain if joined == "fresh" else joined
    arg = fresh_ros_domain if ros2_domain_id == "fresh" else ros2_domain_id
    sim = start_sim("--ros-domain", str(ros_domain))
    result = run_fresh(
        f"""
        j = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={arg})
        print(json.dumps({{"env": ros_domain_env()}}))
        """,
        state_dir,
        {"ROS_DOMAIN_ID": inherited} if inherited else None,
    )
    assert result["env"] == str(ros_domain)
    sim.wait_for(lambda e: e.get("event") == "service_request")


def test_second_joystick_joins_the_first_ones_domain(start_sim, domain, state_dir, fresh_ros_domain):
    sim = start_sim("--ros-domain", str(fresh_ros_domain))
    result = run_fresh(
        f"""
        a = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
        b = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain + 1})
        del a
        c = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id=3)
        print(json.dumps({{"env": ros_domain_env()}}))
        """,
        state_dir,
    )
    assert result["env"] == str(fresh_ros_domain)
    requests = [e for e in sim.poll() if e.get("event") == "service_request"]
    assert [r["sequence_number"] for r in requests] == [1, 2, 3]
    assert len({r["client_id"] for r in requests}) == 3


@pytest.mark.slow
def test_sigint_while_waiting_for_the_answer(start_sim, domain, state_dir, fresh_ros_domain):
    start_sim("--ros-domain", str(fresh_ros_domain), "--service-mode", "silent")
    result = run_fresh(
        f"""
        seen = []
        signal.signal(signal.SIGINT, lambda s, f: seen.append(s))
        # Interrupt from outside once the request is out and unanswered.
        subprocess.Popen(["sh", "-c", "sleep 1; kill -INT {{}}".format(os.getpid())])
        t = time.monotonic()
        try:
            joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
            error = None
        except RuntimeError as e:
            error = str(e)
        elapsed = time.monotonic() - t
        print(json.dumps({{"error": error, "elapsed": elapsed, "seen": seen}}))
        """,
        state_dir,
    )
    assert result["error"] == "dynamic_param service request failed"
    assert 0.9 < result["elapsed"] < 3.0
    # The handler the program had installed before ours still ran.
    assert result["seen"] == [2]


@pytest.mark.slow
def test_sigint_after_shutdown_lets_a_later_joystick_connect_again(start_sim, domain, state_dir,
                                                                  fresh_ros_domain):
    start_sim("--ros-domain", str(fresh_ros_domain))
    result = run_fresh(
        f"""
        signal.signal(signal.SIGINT, lambda s, f: None)
        a = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
        os.kill(os.getpid(), signal.SIGINT)  # shuts the ROS 2 context down
        time.sleep(0.2)
        b = joystick.Joystick(dds_domain_id={domain}, ros2_domain_id={fresh_ros_domain})
        print(json.dumps({{"ok": True}}))
        """,
        state_dir,
    )
    assert result == {"ok": True}

